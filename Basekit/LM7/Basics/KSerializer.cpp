#include "Basekit/LM7/Basics/KSerializer.h"

#include <stdexcept>
#include <type_traits>
#include <vector>

namespace basekit {

namespace {

template <typename T>
void MovePlain(KSerializer& serializer, T& value)
{
    typedef typename std::make_unsigned<T>::type U;
    unsigned char bytes[sizeof(T)];
    if (serializer.In()) {
        serializer.Read(bytes, sizeof(bytes));
        U result = 0;
        for (unsigned i = 0; i < sizeof(T); ++i)
            result = static_cast<U>(result | (static_cast<U>(bytes[i]) << (8 * i)));
        value = static_cast<T>(result);
    } else {
        U raw = static_cast<U>(value);
        for (unsigned i = 0; i < sizeof(T); ++i)
            bytes[i] = static_cast<unsigned char>(raw >> (8 * i));
        serializer.Write(bytes, sizeof(bytes));
    }
}

} // namespace

KSerializer& operator&(KSerializer& serializer, uint8_t& value)
{
    MovePlain(serializer, value);
    return serializer;
}

KSerializer& operator&(KSerializer& serializer, bool& value)
{
    uint8_t byte = value ? 1 : 0;
    MovePlain(serializer, byte);
    value = byte != 0;
    return serializer;
}

KSerializer& operator&(KSerializer& serializer, int32_t& value)
{
    MovePlain(serializer, value);
    return serializer;
}

KSerializer& operator&(KSerializer& serializer, uint32_t& value)
{
    MovePlain(serializer, value);
    return serializer;
}

KSerializer& operator&(KSerializer& serializer, uint64_t& value)
{
    MovePlain(serializer, value);
    return serializer;
}

KSerializer& operator&(KSerializer& serializer, kstring& value)
{
    value.Serialize(serializer);
    return serializer;
}

KSerializer& operator&(KSerializer& serializer, KSerializable& value)
{
    value.Serialize(serializer);
    return serializer;
}

void kstring::Serialize(KSerializer& serializer)
{
    if (!serializer.In()) {
        uint32_t length = static_cast<uint32_t>(size() + 1);
        serializer & length;
        serializer.Write(&(*this)[0], static_cast<unsigned>(size()));
        char terminator = '\0';
        serializer.Write(&terminator, 1);
        return;
    }
    uint32_t length = 0;
    serializer & length;
    // Checked before any character is read: a bad length never makes us allocate or wait.
    if (length > KMAX_STRING_SIZE)
        throw std::runtime_error("cannot serialize string bigger than KMAX_STRING_SIZE(2048)");
    if (length == 0) {
        clear();
        return;
    }
    std::vector<char> buffer(length);
    serializer.Read(buffer.data(), length);
    assign(buffer.data(), length - 1);
}

} // namespace basekit
