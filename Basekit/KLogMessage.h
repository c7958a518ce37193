#pragma once
// One line (or request) for the log server: writer name and text. The flag byte stays local.
#include <cstdint>

#include "Basekit/LM7/Basics/KSerializer.h"
#include "Basekit/kstring.h"

namespace basekit {

class KLogMessage : public KSerializable {
public:
    KLogMessage() = default;
    KLogMessage(const kstring& name, const kstring& text) : Name(name), Text(text) {}

    void Serialize(KSerializer& serializer) override { serializer & Name & Text; }

    uint8_t Flag = 0;
    kstring Name;
    kstring Text;
};

} // namespace basekit
