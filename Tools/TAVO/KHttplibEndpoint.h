#pragma once
// The HTTP endpoint on cpp-httplib, built into the module the metrics listener loads. Nothing
// of the daemon's own code is linked in: it logs nothing and owns no singleton, so the module
// and the daemon share no state but what the settings carry.
#include <memory>

#include "Tools/TAVO/KHttpEndpoint.h"

namespace httplib {
class Server;
}

class KHttplibEndpoint : public KHttpEndpoint {
public:
    explicit KHttplibEndpoint(const Settings& settings);
    ~KHttplibEndpoint() override;
    KHttplibEndpoint(const KHttplibEndpoint&) = delete;
    KHttplibEndpoint& operator=(const KHttplibEndpoint&) = delete;

    bool Bind(std::string& error) override;
    void Listen() override;
    bool IsListening() override;
    void Stop() override;

private:
    const Settings Config;
    std::unique_ptr<httplib::Server> Http;
};

extern "C" KHttpEndpoint* tavo_http_endpoint(const KHttpEndpoint::Settings& settings);
