// Bytes from the log server, decoded as the reload thread and the remote client decode
// them: a reload message (type, filter) or a log message. Any input must end in a value
// or an exception, never a crash or an endless read.
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "Basekit/KLogMessage.h"
#include "Basekit/KReloadMessage.h"
#include "Basekit/LM7/Basics/KInSerializer.h"

namespace {

class MemorySource : public basekit::KInSerializer {
public:
    MemorySource(const uint8_t* data, size_t size) : Data(data), Left(size) {}
    void Serialize(void* target, unsigned size) override
    {
        if (size > Left)
            throw std::runtime_error("end of input");
        memcpy(target, Data, size);
        Data += size;
        Left -= size;
    }

private:
    const uint8_t* Data;
    size_t Left;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    try {
        MemorySource source(data, size);
        KReloadMessage message;
        message.Serialize(source);
        if (message.GetType() == KReloadMessage::ktLogFilter)
            message.GetLogFilter().IsActive(klTrace, klsTAVO, 2);
    } catch (const std::exception&) {
    }
    try {
        MemorySource source(data, size);
        basekit::KLogMessage message;
        message.Serialize(source);
    } catch (const std::exception&) {
    }
    return 0;
}
