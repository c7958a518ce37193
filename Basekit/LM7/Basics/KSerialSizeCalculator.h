#pragma once
// Measures an object's serialised size without moving any byte (the frame length).
#include <cstdint>

#include "Basekit/LM7/Basics/KOutSerializer.h"

namespace basekit {

class KSerialSizeCalculator : public KOutSerializer {
public:
    void Serialize(void*, unsigned size) override { Count += size; }
    uint64_t Size() const { return Count; }

private:
    uint64_t Count = 0;
};

} // namespace basekit
