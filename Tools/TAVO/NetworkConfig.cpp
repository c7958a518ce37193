#include "Tools/TAVO/NetworkConfig.h"

#include "Basekit/KBaseException.h"
#include "Basekit/KThreadMutex.h"
#include "Tools/TAVO/ConfigLoad.h"
#include "Tools/TAVO/KConfigReloader.h"

namespace config {

NetworkConfig::NetworkConfig() : KReloadable("system", "Network", 0) {}

bool NetworkConfig::LoadConfig(const YAML::Node& node)
{
    ExpectMap(node);
    NetworkSettings loaded;
    Load(node, "LocalAudioInterface", loaded.LocalAudioInterface, "", true);
    Load(node, "LocalAudioPort", loaded.LocalAudioPort, def::LocalAudioPort, true);
    Load(node, "MediaServerAddress", loaded.MediaServerAddress, "", true);
    Load(node, "MediaServerPort", loaded.MediaServerPort, def::MediaServerPort, true);
    Load(node, "SignalingServerAddress", loaded.SignalingServerAddress, "", false);
    Load(node, "SignalingServerPort", loaded.SignalingServerPort, def::SignalingServerPort, false);
    Load(node, "T8WServerAddress", loaded.T8WServerAddress, "", true);
    Load(node, "T8WServerPort", loaded.T8WServerPort, def::T8WServerPort, true);
    Load(node, "T8WQueryPort", loaded.T8WQueryPort, def::T8WQueryPort, true);
    Load(node, "T8WSnmpPort", loaded.T8WSnmpPort, def::T8WSnmpPort, true);
    Load(node, "ConnectionTimeout", loaded.ConnectionTimeout, def::ConnectionTimeout, true);
    Load(node, "SimServerAddress", loaded.SimServerAddress, "", false);
    Load(node, "SimServerPort", loaded.SimServerPort, def::SimServerPort, false);
    Load(node, "SimClientLog", loaded.SimClientLog, def::SimClientLog, false);
    Load(node, "AudioStreamingMinPort", loaded.AudioStreamingMinPort, def::AudioStreamingMinPort, false);
    Load(node, "AudioStreamingMaxPort", loaded.AudioStreamingMaxPort, def::AudioStreamingMaxPort, false);

    basekit::KLockGuard guard(KConfigReloader::Mutex);
    static_cast<NetworkSettings&>(*this) = std::move(loaded);
    return true;
}

std::unique_ptr<KReloadable> NetworkConfig::CloneForValidation() const
{
    return std::make_unique<NetworkConfig>();
}

void NetworkConfig::AdditionalValidations()
{
    const NetworkSettings settings = Copy();
    const struct {
        const char* key;
        unsigned int value;
    } ports[] = {
        {"LocalAudioPort", settings.LocalAudioPort},
        {"MediaServerPort", settings.MediaServerPort},
        {"SignalingServerPort", settings.SignalingServerPort},
        {"T8WServerPort", settings.T8WServerPort},
        {"T8WQueryPort", settings.T8WQueryPort},
        {"T8WSnmpPort", settings.T8WSnmpPort},
        {"SimServerPort", settings.SimServerPort},
        {"AudioStreamingMinPort", settings.AudioStreamingMinPort},
        {"AudioStreamingMaxPort", settings.AudioStreamingMaxPort},
    };
    for (const auto& port : ports)
        ValidatePort(port.value, port.key);
    // The boards open their real-time audio streams in this range and need at least 100.
    if (static_cast<long long>(settings.AudioStreamingMaxPort) - settings.AudioStreamingMinPort < 100)
        throw KTemplateException<KReloadable>("Real time audio port range is invalid (Min=%d, Max=%d)",
                                              static_cast<int>(settings.AudioStreamingMinPort),
                                              static_cast<int>(settings.AudioStreamingMaxPort));
}

NetworkSettings NetworkConfig::Copy() const
{
    basekit::KLockGuard guard(KConfigReloader::Mutex);
    return *this;
}

} // namespace config
