#pragma once
// Bounds-checked cursor over a received datagram. Every read past the end yields zeros and
// clears ok() for good, so a parser checks once at the end instead of after every field.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace basekit {

class KByteReader {
public:
    KByteReader(const unsigned char* data, size_t size) : Data(data), Size(data ? size : 0) {}

    uint8_t u8()
    {
        if (!need(1))
            return 0;
        return Data[Pos++];
    }
    uint16_t u16be()
    {
        if (!need(2))
            return 0;
        uint16_t value = static_cast<uint16_t>(Data[Pos] << 8 | Data[Pos + 1]);
        Pos += 2;
        return value;
    }
    uint32_t u32be()
    {
        if (!need(4))
            return 0;
        uint32_t value = static_cast<uint32_t>(Data[Pos]) << 24 | static_cast<uint32_t>(Data[Pos + 1]) << 16 |
                         static_cast<uint32_t>(Data[Pos + 2]) << 8 | Data[Pos + 3];
        Pos += 4;
        return value;
    }
    // Pointer to the next n bytes, or nullptr (and !ok()) when fewer remain.
    const unsigned char* bytes(size_t n)
    {
        if (!need(n))
            return nullptr;
        const unsigned char* at = Data + Pos;
        Pos += n;
        return at;
    }
    void skip(size_t n) { bytes(n); }
    // Moves to an absolute offset; past the end clears ok().
    void seek(size_t offset)
    {
        if (offset > Size)
            Ok = false;
        else
            Pos = offset;
    }
    size_t remaining() const { return Size - Pos; }
    size_t position() const { return Pos; }
    size_t size() const { return Size; }
    bool ok() const { return Ok; }

private:
    bool need(size_t n)
    {
        if (!Ok || n > remaining()) {
            Ok = false;
            return false;
        }
        return true;
    }

    const unsigned char* Data;
    size_t Size;
    size_t Pos = 0;
    bool Ok = true;
};

} // namespace basekit
