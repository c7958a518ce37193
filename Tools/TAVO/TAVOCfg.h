#pragma once
// The daemon's own settings: config/tavo.yaml, document "tavo".
#include <list>
#include <map>

#include "Basekit/kstring.h"
#include "Tools/TAVO/KReloadable.h"

namespace config {

struct KBootP {
    struct def {
        enum values { RxPort = 14102, TxPort = 14103 };
    };
    unsigned int RxPort = def::RxPort;
    unsigned int TxPort = def::TxPort;
};

struct KTftp {
    struct def {
        enum values { Port = 69 };
    };
    unsigned int Port = def::Port;
    kstring AlternativePath; // when set, another TFTP service serves the firmware copied there
};

// Prometheus' scrapers read GET /metrics on 127.0.0.1:HttpPort; 0 (or no section): off.
struct KMetrics {
    struct def {
        enum values { HttpPort = 0 };
    };
    unsigned int HttpPort = def::HttpPort;
};

struct TAVOSettings {
    KBootP BootP;
    std::list<kstring> Interfaces;          // interface addresses to serve; empty: all
    KTftp Tftp;
    std::map<kstring, kstring> Firmwares;   // requested name -> file sent instead
    KMetrics Metrics;
};

class TAVOCfg : public KReloadable, public TAVOSettings {
public:
    TAVOCfg();
    bool LoadConfig(const YAML::Node& node) override;
    std::unique_ptr<KReloadable> CloneForValidation() const override;
    // The settings as one consistent copy, never a view half-way through a reload.
    TAVOSettings Copy() const;
};

bool operator>>(const YAML::Node& node, KBootP& bootp);
void operator>>(const YAML::Node& node, KTftp& tftp);
void operator>>(const YAML::Node& node, KMetrics& metrics);

} // namespace config
