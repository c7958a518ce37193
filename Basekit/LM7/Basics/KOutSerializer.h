#pragma once
// Base of the serialisers that write: Write moves non-empty blocks, Read does nothing.
#include "Basekit/LM7/Basics/KSerializer.h"

namespace basekit {

class KOutSerializer : public KSerializer {
public:
    void Read(void*, unsigned) override {}
    void Write(void* data, unsigned size) override
    {
        if (size)
            Serialize(data, size);
    }
    bool In() const override { return false; }
};

} // namespace basekit
