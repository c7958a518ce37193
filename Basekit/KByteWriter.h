#pragma once
// Twin of KByteReader for building replies in a caller-owned buffer: writes past the
// capacity are dropped and clear ok(), so a short buffer can never be overrun.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace basekit {

class KByteWriter {
public:
    KByteWriter(unsigned char* data, size_t capacity) : Data(data), Capacity(data ? capacity : 0) {}

    void u8(uint8_t value)
    {
        if (need(1))
            Data[Pos++] = value;
    }
    void u16be(uint16_t value)
    {
        if (!need(2))
            return;
        Data[Pos++] = static_cast<unsigned char>(value >> 8);
        Data[Pos++] = static_cast<unsigned char>(value);
    }
    void u32be(uint32_t value)
    {
        if (!need(4))
            return;
        for (int shift = 24; shift >= 0; shift -= 8)
            Data[Pos++] = static_cast<unsigned char>(value >> shift);
    }
    void bytes(const void* source, size_t n)
    {
        if (!need(n))
            return;
        if (n)
            std::memcpy(Data + Pos, source, n);
        Pos += n;
    }
    void zeros(size_t n)
    {
        if (!need(n))
            return;
        std::memset(Data + Pos, 0, n);
        Pos += n;
    }
    // Text followed by its NUL terminator.
    void cstring(const char* text) { bytes(text, std::strlen(text) + 1); }
    void seek(size_t offset)
    {
        if (offset > Capacity)
            Ok = false;
        else
            Pos = offset;
    }
    size_t size() const { return Pos; }
    size_t remaining() const { return Capacity - Pos; }
    bool ok() const { return Ok; }

private:
    bool need(size_t n)
    {
        if (!Ok || n > Capacity - Pos) {
            Ok = false;
            return false;
        }
        return true;
    }

    unsigned char* Data;
    size_t Capacity;
    size_t Pos = 0;
    bool Ok = true;
};

} // namespace basekit
