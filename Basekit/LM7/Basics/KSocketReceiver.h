#pragma once
// Reads one framed object from a client socket, field by field.
#include <atomic>
#include <cstdint>

#include "Basekit/LM7/Basics/KClientSocket.h"
#include "Basekit/LM7/Basics/KInSerializer.h"

namespace basekit {

class KSocketReceiver : public KInSerializer {
public:
    explicit KSocketReceiver(KClientSocket* socket) : Socket(socket) {}
    // Waits for a frame and fills object from it. False when terminated or the wait failed;
    // a connection that ends inside a frame raises KSocketException / KSocketClosedException.
    bool Receive(KSerializable& object);
    // From now on Receive reads without waiting for data first.
    void SetAsync() { Async = true; }
    // A pending or later Receive returns false.
    void Terminate() { Terminated = true; }
    bool IsTerminated() const { return Terminated; }
    void Serialize(void* data, unsigned size) override;
    // Length field of the last frame read (it does not bound the read).
    uint32_t LastFrameSize() const { return FrameSize; }

private:
    KClientSocket* Socket;
    std::atomic<bool> Async{false};
    std::atomic<bool> Terminated{false};
    uint32_t FrameSize = 0; // guarded by the socket's read mutex
};

} // namespace basekit
