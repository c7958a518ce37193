#include "Tools/TAVO/TAVODevs.h"

#include "Basekit/KThreadMutex.h"
#include "Tools/TAVO/ConfigLoad.h"
#include "Tools/TAVO/KConfigReloader.h"
#include "Tools/TAVO/KConfigRules.h"

namespace config {

namespace {
const char* const DevicesFile = "devices";
} // namespace

TAVODevs::TAVODevs() : KReloadable(DevicesFile, "Devices", 0) {}

kstring TAVODevs::FilePath()
{
    return PathOf(DevicesFile);
}

void operator>>(const YAML::Node& node, KBOOTPMachine& machine)
{
    std::string type;
    if (std::optional<YAML::Node> found = FindValue(node, "Type"))
        Load(*found, type);
    else
        ReportNoDefault(node, "Type");
    if (!KConfigRules::IsNdxType(type))
        throw KBOOTPMachine(); // another product line: not ours to boot

    Load(node, "Replacer", machine.Replacer, 0, false);
    if (std::optional<YAML::Node> ip = FindValue(node, "IP"))
        Load(*ip, machine.IP);
    else
        ReportNoDefault(node, "IP");
    Load(node, "Firmware", machine.Firmware, "", false);
    Load(node, "SetNewFirmware", machine.SetNewFirmware, false, false);
}

bool TAVODevs::LoadConfig(const YAML::Node& node)
{
    ExpectSequence(node);
    DevicesTables loaded;
    for (const YAML::Node& element : node) {
        ExpectMap(element);
        for (YAML::const_iterator entry = element.begin(); entry != element.end(); ++entry) {
            // A serial that is not a number fails the whole load (the previous boards stay).
            unsigned int serial = entry->first.as<unsigned int>();
            // A fresh record for every entry: an entry without "IP" keeps an empty address
            // instead of inheriting the one of the board read before it, so that board is
            // refused at boot rather than handed another board's address.
            KBOOTPMachine machine;
            try {
                entry->second >> machine;
            } catch (const KBOOTPMachine&) {
                continue;
            }
            loaded.machines[serial] = machine;
            // emplace keeps an existing key: the first board naming a replacer keeps it
            if (machine.Replacer != 0)
                loaded.replacements.emplace(machine.Replacer, serial);
        }
    }

    basekit::KLockGuard guard(KConfigReloader::Mutex);
    static_cast<DevicesTables&>(*this) = std::move(loaded);
    return true;
}

std::unique_ptr<KReloadable> TAVODevs::CloneForValidation() const
{
    return std::make_unique<TAVODevs>();
}

DevicesTables TAVODevs::Copy() const
{
    // In-place loads change the tables under the reloader mutex only.
    basekit::KLockGuard guard(KConfigReloader::Mutex);
    return *this;
}

size_t TAVODevs::Boards() const
{
    basekit::KLockGuard guard(KConfigReloader::Mutex);
    return machines.size();
}

} // namespace config
