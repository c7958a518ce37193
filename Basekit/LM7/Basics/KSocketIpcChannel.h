#pragma once
// One connected socket with its sender and receiver: the message channel to the log server.
#include <memory>

#include "Basekit/LM7/Basics/KClientSocket.h"
#include "Basekit/LM7/Basics/KSocketReceiver.h"
#include "Basekit/LM7/Basics/KSocketSender.h"

namespace basekit {

class KSocketIpcChannel {
public:
    explicit KSocketIpcChannel(std::unique_ptr<KClientSocket> socket);
    ~KSocketIpcChannel();
    KSocketIpcChannel(const KSocketIpcChannel&) = delete;
    KSocketIpcChannel& operator=(const KSocketIpcChannel&) = delete;

    bool Send(const KSerializable& object) { return Sender.Send(object); }
    bool Receive(KSerializable& object) { return Receiver.Receive(object); }
    void SetAsync() { Receiver.SetAsync(); }
    // Makes a blocked or later Receive return false at once (the socket is shut down), from
    // any thread; the channel itself stays valid until its owner deletes it.
    void Terminate();

private:
    std::unique_ptr<KClientSocket> Socket;
    KSocketSender Sender;
    KSocketReceiver Receiver;
};

} // namespace basekit
