#pragma once
// The boards this daemon serves: config/devices.yaml, document "Devices".
#include <cstddef>
#include <map>

#include "Tools/TAVO/KBOOTPMachine.h"
#include "Tools/TAVO/KReloadable.h"

namespace config {

struct DevicesTables {
    std::map<unsigned int, KBOOTPMachine> machines; // by board serial
    std::map<unsigned int, unsigned int> replacements; // replacement serial -> replaced serial
};

class TAVODevs : public KReloadable, public DevicesTables {
public:
    TAVODevs();
    // The devices file, known without creating or loading the object (and so without its lock).
    static kstring FilePath();
    bool LoadConfig(const YAML::Node& node) override;
    std::unique_ptr<KReloadable> CloneForValidation() const override;
    // Both tables as one consistent copy, never a view half-way through a reload.
    DevicesTables Copy() const;
    // How many boards are configured, without copying the tables for it.
    size_t Boards() const;
};

// Throws a KBOOTPMachine when the entry is not an NDX board.
void operator>>(const YAML::Node& node, KBOOTPMachine& machine);

} // namespace config
