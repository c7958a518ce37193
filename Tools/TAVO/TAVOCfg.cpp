#include "Tools/TAVO/TAVOCfg.h"

#include "Basekit/KThreadMutex.h"
#include "Tools/TAVO/ConfigLoad.h"
#include "Tools/TAVO/KConfigReloader.h"

namespace config {

TAVOCfg::TAVOCfg() : KReloadable("tavo", "tavo", 0) {}

bool operator>>(const YAML::Node& node, KBootP& bootp)
{
    bool rx = Load(node, "RxPort", bootp.RxPort, KBootP::def::RxPort, true);
    bool tx = Load(node, "TxPort", bootp.TxPort, KBootP::def::TxPort, true);
    return rx && tx;
}

void operator>>(const YAML::Node& node, KTftp& tftp)
{
    Load(node, "Port", tftp.Port, KTftp::def::Port, true);
    if (std::optional<YAML::Node> path = FindValue(node, "AlternativePath"))
        Load(*path, tftp.AlternativePath);
    else
        ReportNoDefault(node, "AlternativePath");
}

void operator>>(const YAML::Node& node, KMetrics& metrics)
{
    Load(node, "HttpPort", metrics.HttpPort, KMetrics::def::HttpPort, false);
}

bool TAVOCfg::LoadConfig(const YAML::Node& node)
{
    ExpectMap(node);
    // Missing sections keep their previous values, so the load starts from them; the result
    // replaces the settings in one step.
    TAVOSettings loaded = Copy();

    if (std::optional<YAML::Node> bootp = FindValue(node, "BootP")) {
        ExpectMap(*bootp);
        *bootp >> loaded.BootP;
    } else {
        ReportNoDefault(node, "BootP");
    }
    LoadList(node, "Interfaces", loaded.Interfaces, false);
    if (std::optional<YAML::Node> tftp = FindValue(node, "tftp")) {
        ExpectMap(*tftp);
        *tftp >> loaded.Tftp;
    } else {
        ReportNoDefault(node, "tftp");
    }
    bool result = LoadMap(node, "Firmwares", loaded.Firmwares);
    // Optional: without the section it is off, whatever an earlier load said.
    loaded.Metrics = KMetrics();
    if (std::optional<YAML::Node> metrics = FindValue(node, "Metrics")) {
        ExpectMap(*metrics);
        *metrics >> loaded.Metrics;
    }

    basekit::KLockGuard guard(KConfigReloader::Mutex);
    static_cast<TAVOSettings&>(*this) = std::move(loaded);
    return result;
}

std::unique_ptr<KReloadable> TAVOCfg::CloneForValidation() const
{
    return std::make_unique<TAVOCfg>();
}

TAVOSettings TAVOCfg::Copy() const
{
    // In-place loads change the settings under the reloader mutex only.
    basekit::KLockGuard guard(KConfigReloader::Mutex);
    return *this;
}

} // namespace config
