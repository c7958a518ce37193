#include "Basekit/LM7/Basics/KSocketReceiver.h"

namespace basekit {

namespace {
// Bounds each wait so that Terminate is seen even without a shutdown of the socket.
const int WaitStepMs = 250;
} // namespace

bool KSocketReceiver::Receive(KSerializable& object)
{
    if (!Async) {
        for (;;) {
            if (Terminated)
                return false;
            int ready = Socket->WaitForData(WaitStepMs);
            if (ready < 0)
                return false;
            if (ready > 0)
                break;
        }
    }
    if (Terminated)
        return false;
    KLockGuard lock(Socket->ReadMutex());
    *this & FrameSize;
    object.Serialize(*this);
    return true;
}

void KSocketReceiver::Serialize(void* data, unsigned size)
{
    Socket->ReadExact(data, size);
}

} // namespace basekit
