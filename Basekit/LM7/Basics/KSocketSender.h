#pragma once
// Writes one object per frame (4-byte length, then the object's fields) on a client socket.
#include "Basekit/LM7/Basics/KClientSocket.h"
#include "Basekit/LM7/Basics/KOutSerializer.h"

namespace basekit {

class KSocketSender : public KOutSerializer {
public:
    explicit KSocketSender(KClientSocket* socket) : Socket(socket) {}
    // True when the whole frame was written; socket errors raise KSocketException.
    bool Send(const KSerializable& object);
    void Terminate() {}
    void Serialize(void* data, unsigned size) override;

private:
    KClientSocket* Socket;
};

} // namespace basekit
