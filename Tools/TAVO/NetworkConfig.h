#pragma once
// The network endpoints written into the boards' system.yaml: file "system", document
// "Network" (required).
#include "Basekit/kstring.h"
#include "Tools/TAVO/KReloadable.h"

namespace config {

struct NetworkSettings {
    struct def {
        enum values {
            LocalAudioPort = 14200,
            MediaServerPort = 14102,
            SignalingServerPort = 14101,
            T8WServerPort = 14123,
            T8WQueryPort = 14130,
            T8WSnmpPort = 14161,
            ConnectionTimeout = 60000,
            SimServerPort = 14500,
            SimClientLog = 2,
            AudioStreamingMinPort = 16000,
            AudioStreamingMaxPort = 18000
        };
    };
    kstring LocalAudioInterface; // read, but the board file always carries "!"
    unsigned int LocalAudioPort = def::LocalAudioPort;
    kstring MediaServerAddress;
    unsigned int MediaServerPort = def::MediaServerPort;
    kstring SignalingServerAddress;
    unsigned int SignalingServerPort = def::SignalingServerPort;
    // Read and validated only; other programs of the installation use them.
    kstring T8WServerAddress;
    unsigned int T8WServerPort = def::T8WServerPort;
    unsigned int T8WQueryPort = def::T8WQueryPort;
    unsigned int T8WSnmpPort = def::T8WSnmpPort;
    unsigned int ConnectionTimeout = def::ConnectionTimeout;
    kstring SimServerAddress;
    unsigned int SimServerPort = def::SimServerPort;
    unsigned int SimClientLog = def::SimClientLog;
    unsigned int AudioStreamingMinPort = def::AudioStreamingMinPort;
    unsigned int AudioStreamingMaxPort = def::AudioStreamingMaxPort;
};

class NetworkConfig : public KReloadable, public NetworkSettings {
public:
    NetworkConfig();
    bool LoadConfig(const YAML::Node& node) override;
    std::unique_ptr<KReloadable> CloneForValidation() const override;
    // Every port in 1..65535, and an audio port range of at least 100 ports.
    void AdditionalValidations() override;
    // The settings as one consistent copy, never a view half-way through a reload.
    NetworkSettings Copy() const;
};

} // namespace config
