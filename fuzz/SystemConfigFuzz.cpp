// Any bytes as the host configuration for the boards (system.yaml, documents "Network" and
// "InternalConfigs"), loaded into the two process-wide objects the TFTP server reads, then the
// generated board files written from them. Checks: a load either succeeds or ends in the
// framework's exception; every generated file is CR LF text followed by its trailer.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Basekit/KBaseException.h"
#include "Basekit/KException.h"
#include "Tools/TAVO/InternalConfigs.h"
#include "Tools/TAVO/KConfig.h"
#include "Tools/TAVO/KConfigReloader.h"
#include "Tools/TAVO/KTFTPServer.h"
#include "Tools/TAVO/NetworkConfig.h"
#include "fuzz/FuzzSupport.h"

namespace {

const char* const SystemPath = "/etc/varnel/config/system.yaml";

// CR LF text and a 4-byte trailer (its CRC value is checked against published ones elsewhere).
void CheckGenerated(const std::string& path)
{
    const std::string file = fuzz::ReadFile(path);
    if (file.size() < 4)
        abort();
    for (size_t i = 0; i + 4 < file.size(); ++i) {
        if (file[i] == '\n' && (i == 0 || file[i - 1] != '\r'))
            abort();
    }
}

template <class Config>
void Load(Config& config)
{
    // A failed load keeps the last good values (the reloader's rule, fuzzed on its own by
    // ConfigLoadFuzz).
    try {
        config::KConfigReloader::Reload(config, false);
    } catch (const KTemplateException<config::KReloadable>&) {
    }
}

KTFTPServer& Setup()
{
    static KTFTPServer* server = [] {
        if (!fuzz::InSandbox()) // the fixed paths are the sandbox's own
            abort();
        fuzz::WriteFile("/etc/varnel/config/devices.yaml", "Devices:\n  - 1234:\n      Type: NDX\n      IP: 192.0.2.50\n      Replacer: 5678\n");
        fuzz::WriteFile(SystemPath, "Network:\n  MediaServerAddress: 192.0.2.1\n");
        config::KConfig<config::NetworkConfig, 0>::instance();
        config::KConfig<config::InternalConfigs, 0>::instance();
        return new KTFTPServer; // lives to the end of the process
    }();
    return *server;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    KTFTPServer& server = Setup();
    fuzz::WriteFile(SystemPath, fuzz::Text(data, size));
    Load(*config::KConfig<config::NetworkConfig, 0>::instance());
    Load(*config::KConfig<config::InternalConfigs, 0>::instance());
    try {
        server.CreateSpecialCases();
    } catch (const basekit::KException&) {
        abort(); // the directory is there and the devices file is fixed
    }
    for (const char* name : {"system.yaml", "klog.cfg", "replacements.yaml"})
        CheckGenerated(std::string(server.GetFirmwarePath().c_str()) + "/" + name);
    return 0;
}
