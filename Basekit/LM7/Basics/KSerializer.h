#pragma once
// The abstract byte sink or source of the socket message channel. Plain fields travel
// least significant byte first whatever the host order; strings as length + text + NUL.
#include <cstdint>

#include "Basekit/LM7/Basics/KSerializable.h"
#include "Basekit/kstring.h"

namespace basekit {

// Longest string accepted on reading, NUL included.
constexpr unsigned KMAX_STRING_SIZE = 2048;

class KSerializer {
public:
    // Moves size bytes between the field at data and the stream, in this serialiser's direction.
    virtual void Serialize(void* data, unsigned size) = 0;
    virtual ~KSerializer() = default;
    virtual void Read(void* data, unsigned size) = 0;
    virtual void Write(void* data, unsigned size) = 0;
    // True when the serialiser fills objects from the stream.
    virtual bool In() const = 0;
};

// Chainable field moves: `s & first & second` moves the fields in that order.
KSerializer& operator&(KSerializer& serializer, bool& value);
KSerializer& operator&(KSerializer& serializer, uint8_t& value);
KSerializer& operator&(KSerializer& serializer, int32_t& value);
KSerializer& operator&(KSerializer& serializer, uint32_t& value);
KSerializer& operator&(KSerializer& serializer, uint64_t& value);
KSerializer& operator&(KSerializer& serializer, kstring& value);
KSerializer& operator&(KSerializer& serializer, KSerializable& value);

} // namespace basekit
