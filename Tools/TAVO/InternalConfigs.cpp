#include "Tools/TAVO/InternalConfigs.h"

#include "Basekit/KThreadMutex.h"
#include "Tools/TAVO/ConfigLoad.h"
#include "Tools/TAVO/KConfigReloader.h"

namespace config {

namespace {

const unsigned int LargestBuffer = 2048;

// A size the boards cannot use falls back to the default rather than failing the load.
void LoadBuffer(const YAML::Node& node, const char* key, unsigned int& value, InternalSettings::def::Values def)
{
    Load(node, key, value, def, false);
    if (value == 0 || value > LargestBuffer)
        value = def;
}

} // namespace

InternalConfigs::InternalConfigs() : KReloadable("system", "InternalConfigs", 1) {}

bool InternalConfigs::LoadConfig(const YAML::Node& node)
{
    ExpectMap(node);
    InternalSettings loaded;
    LoadBuffer(node, "T8WServerBuffer", loaded.T8WServerBuffer, def::T8WServerBuffer);
    LoadBuffer(node, "T8WClientBuffer", loaded.T8WClientBuffer, def::T8WClientBuffer);
    LoadBuffer(node, "TdmopBuffer", loaded.TdmopBuffer, def::TdmopBuffer);
    LoadBuffer(node, "RtqBuffer", loaded.RtqBuffer, def::RtqBuffer);
    LoadBuffer(node, "NdxBuffer", loaded.NdxBuffer, def::NdxBuffer);

    basekit::KLockGuard guard(KConfigReloader::Mutex);
    static_cast<InternalSettings&>(*this) = loaded;
    return true;
}

std::unique_ptr<KReloadable> InternalConfigs::CloneForValidation() const
{
    return std::make_unique<InternalConfigs>();
}

InternalSettings InternalConfigs::Copy() const
{
    basekit::KLockGuard guard(KConfigReloader::Mutex);
    return *this;
}

} // namespace config
