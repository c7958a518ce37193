#pragma once
// The buffer sizes written into the boards' system.yaml: file "system", document
// "InternalConfigs" (optional: without it every size takes its default).
#include "Tools/TAVO/KReloadable.h"

namespace config {

struct InternalSettings {
    struct def {
        enum Values { T8WServerBuffer = 90, T8WClientBuffer = 90, TdmopBuffer = 90, RtqBuffer = 90, NdxBuffer = 7 };
    };
    // Each in 1..2048; any other value read is replaced by the default.
    unsigned int T8WServerBuffer = def::T8WServerBuffer;
    unsigned int T8WClientBuffer = def::T8WClientBuffer;
    unsigned int TdmopBuffer = def::TdmopBuffer;
    unsigned int RtqBuffer = def::RtqBuffer;
    unsigned int NdxBuffer = def::NdxBuffer;
};

class InternalConfigs : public KReloadable, public InternalSettings {
public:
    InternalConfigs();
    bool LoadConfig(const YAML::Node& node) override;
    std::unique_ptr<KReloadable> CloneForValidation() const override;
    // The settings as one consistent copy, never a view half-way through a reload.
    InternalSettings Copy() const;
};

} // namespace config
