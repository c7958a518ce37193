#include "Basekit/LM7/Basics/KSocketSender.h"

#include <stdexcept>

#include "Basekit/LM7/Basics/KSerialSizeCalculator.h"

namespace basekit {

bool KSocketSender::Send(const KSerializable& object)
{
    // Writing serialisers only read the object's fields.
    KSerializable& fields = const_cast<KSerializable&>(object);
    // Held for the whole frame so frames of different threads never interleave.
    KLockGuard lock(Socket->WriteMutex());
    KSerialSizeCalculator calculator;
    fields.Serialize(calculator);
    if (calculator.Size() > 0xFFFFFFFFull)
        throw std::runtime_error("object too large for one frame");
    uint32_t size = static_cast<uint32_t>(calculator.Size());
    *this & size;
    fields.Serialize(*this);
    return true;
}

void KSocketSender::Serialize(void* data, unsigned size)
{
    Socket->WriteAll(data, size);
}

} // namespace basekit
