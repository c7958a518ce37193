// Any identification string through the decoder: it returns a text or raises KException,
// never anything else.
#include <cstddef>
#include <cstdint>
#include <string>

#include "Basekit/KException.h"
#include "Tools/TAVO/KNDXIdentification.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const KNDXIdentification decoder;
    const std::string info(reinterpret_cast<const char*>(data), size);
    try {
        decoder.GetAddInfoString(0x123456, info);
    } catch (const basekit::KException&) {
    }
    try {
        decoder.ProcessSlotString(info, static_cast<unsigned int>(size % 4), 1);
    } catch (const basekit::KException&) {
    }
    return 0;
}
