#pragma once
// An object that writes itself to, and reads itself from, a serialiser: one Serialize
// serves both directions, the serialiser telling which.

namespace basekit {

class KSerializer;

class KSerializable {
public:
    virtual ~KSerializable() = default;
    virtual void Serialize(KSerializer& serializer) = 0;
};

} // namespace basekit
