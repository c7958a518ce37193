// Any bytes as the service and devices files: a load either succeeds or ends in the
// framework's exception, and a failed load leaves the object as it was.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "Basekit/KBaseException.h"
#include "Tools/TAVO/KConfigReloader.h"
#include "Tools/TAVO/TAVOCfg.h"
#include "Tools/TAVO/TAVODevs.h"

namespace {

bool Same(const config::TAVOSettings& a, const config::TAVOSettings& b)
{
    return a.BootP.RxPort == b.BootP.RxPort && a.BootP.TxPort == b.BootP.TxPort && a.Interfaces == b.Interfaces &&
           a.Tftp.Port == b.Tftp.Port && a.Tftp.AlternativePath == b.Tftp.AlternativePath &&
           a.Firmwares == b.Firmwares;
}

bool Same(const config::DevicesTables& a, const config::DevicesTables& b)
{
    auto sameBoard = [](const auto& x, const auto& y) {
        return x.first == y.first && x.second.IP == y.second.IP && x.second.Replacer == y.second.Replacer &&
               x.second.Firmware == y.second.Firmware && x.second.SetNewFirmware == y.second.SetNewFirmware;
    };
    return a.replacements == b.replacements && a.machines.size() == b.machines.size() &&
           std::equal(a.machines.begin(), a.machines.end(), b.machines.begin(), sameBoard);
}

template <class Config>
void LoadFrom(const char* name, const uint8_t* data, size_t size)
{
    std::ofstream(std::string("/etc/varnel/config/") + name + ".yaml", std::ios::binary)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    static Config config; // kept across inputs, so a failed load must leave the last good one
    const auto before = config.Copy();
    try {
        config::KConfigReloader::Reload(config, false);
    } catch (const KTemplateException<config::KReloadable>&) {
        if (!Same(before, config.Copy()))
            std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    LoadFrom<config::TAVOCfg>("tavo", data, size);
    LoadFrom<config::TAVODevs>("devices", data, size);
    return 0;
}
