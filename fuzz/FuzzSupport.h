// What the fuzz targets share: whether the fixed configuration paths are the sandbox's own,
// writing and reading whole files, and the bytes an object serializes itself to.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "Basekit/LM7/Basics/KOutSerializer.h"

namespace fuzz {

// Set by the sandbox runner; outside it the fixed paths belong to the machine.
inline bool InSandbox()
{
    const char* sandboxed = std::getenv("TAVO_SANDBOXED");
    return sandboxed && std::string(sandboxed) == "1";
}

inline void WriteFile(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::string Text(const uint8_t* data, size_t size)
{
    return std::string(reinterpret_cast<const char*>(data), size);
}

inline std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class SerialBytes : public basekit::KOutSerializer {
public:
    std::string Bytes;
    void Serialize(void* data, unsigned size) override { Bytes.append(static_cast<const char*>(data), size); }
};

// A log filter always goes on the wire as 29 fixed entries plus its header and trailer.
template <class Filter> std::string Serialized(Filter& filter)
{
    SerialBytes wire;
    filter.Serialize(wire);
    if (wire.Bytes.size() != 4 + Filter::Entries * 9 + 1 + 8 + 8)
        abort();
    return wire.Bytes;
}

} // namespace fuzz
