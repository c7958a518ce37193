#pragma once
// Base of the serialisers that read: Read moves blocks, Write does nothing.
#include "Basekit/LM7/Basics/KSerializer.h"

namespace basekit {

class KInSerializer : public KSerializer {
public:
    void Read(void* data, unsigned size) override { Serialize(data, size); }
    void Write(void*, unsigned) override {}
    bool In() const override { return true; }
};

} // namespace basekit
