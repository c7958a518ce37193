#pragma once
// A message from the log server: reload the configuration (type 1) or a new log filter (2).
#include <cstdint>

#include "Basekit/KBaseException.h"
#include "Basekit/KLogFilter.h"
#include "Basekit/LM7/Basics/KSerializer.h"

class KReloadMessage : public basekit::KSerializable {
public:
    enum KType { ktReloadConfig = 1, ktLogFilter = 2 };

    KReloadMessage() = default;
    explicit KReloadMessage(int32_t type) : Type(type) {}

    void Serialize(basekit::KSerializer& serializer) override
    {
        using basekit::operator&;
        serializer & Type;
        if (Type == ktLogFilter)
            Filter.Serialize(serializer);
    }

    int32_t GetType() const { return Type; }
    // The filter of a type-2 message; any other type raises "GetLogFilter: Invalid type here.".
    KLogFilter& GetLogFilter()
    {
        if (Type != ktLogFilter)
            throw KTemplateException<KType>("%s: Invalid type here.", "GetLogFilter");
        return Filter;
    }

private:
    int32_t Type = 0;
    KLogFilter Filter;
};
