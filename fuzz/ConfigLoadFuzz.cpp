// Any bytes as the service and devices files: a load either succeeds or ends in the
// framework's exception, and a failed load leaves the object as it was; a broken document
// appended to a file that loaded does not fail it.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Basekit/KBaseException.h"
#include "Tools/TAVO/KConfigReloader.h"
#include "Tools/TAVO/TAVOCfg.h"
#include "Tools/TAVO/TAVODevs.h"
#include "fuzz/FuzzSupport.h"

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
void LoadFrom(const char* name, const std::string& text)
{
    const std::string path = std::string("/etc/varnel/config/") + name + ".yaml";
    fuzz::WriteFile(path, text);
    static Config config; // kept across inputs, so a failed load must leave the last good one
    const auto before = config.Copy();
    try {
        config::KConfigReloader::Reload(config, false);
    } catch (const KTemplateException<config::KReloadable>&) {
        if (!Same(before, config.Copy()))
            std::abort();
        return;
    }
    // Documents are read one at a time: a broken one after the document that loaded changes
    // nothing.
    const auto loaded = config.Copy();
    fuzz::WriteFile(path, text + "\n---\n[\n");
    config::KConfigReloader::Reload(config, false);
    if (!Same(loaded, config.Copy()))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text = fuzz::Text(data, size);
    LoadFrom<config::TAVOCfg>("tavo", text);
    LoadFrom<config::TAVODevs>("devices", text);
    return 0;
}
