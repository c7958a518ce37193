#pragma once
// GET /metrics over HTTP for Prometheus' scrapers, on 127.0.0.1 only and off unless tavo.yaml
// names a port. The body is the control socket's metrics answer; the HTTP side is
// cpp-httplib's, in a module (ModuleName) loaded at the first start, so that a daemon without
// the listener pays nothing for it. Everything a client can cost is bounded: two workers, a
// short queue behind them, 2 s for each read and write, one request per connection, a small
// body. Its threads run under the default scheduling policy, so no scraper competes with the
// boards' servers.
#include <functional>
#include <memory>
#include <string>

#include "Basekit/KLogger.h"
#include "Basekit/KThreadLifetimes.h"

class KHttpEndpoint;

class KMetricsHttpServer {
public:
    using BodySource = std::function<std::string()>;

    static constexpr const char* Address = "127.0.0.1";
    static constexpr const char* Path = "/metrics";
    static constexpr const char* ContentType = "text/plain; version=0.0.4; charset=utf-8";
    static constexpr unsigned Workers = 2;
    static constexpr unsigned Pending = 4;       // accepted connections waiting for a worker
    static constexpr unsigned ClientSeconds = 2; // for each read and each write of a client
    static constexpr unsigned MaxPayload = 1024; // bytes of a request body
    static constexpr const char* ThreadName = "tavo-metrics";
    // Looked for beside the daemon's executable (a build tree), then in the installed directory.
    static constexpr const char* ModuleName = "tavo-metrics-http.so";

    KMetricsHttpServer(KLogger& logger, BodySource body);
    // Stops; the threads' own lifetimes wait for whatever still runs.
    ~KMetricsHttpServer();
    KMetricsHttpServer(const KMetricsHttpServer&) = delete;
    KMetricsHttpServer& operator=(const KMetricsHttpServer&) = delete;

    // Serves on Address:port, replacing a listener on another port; 0 stops. false (logged as
    // an Error) when the port is not valid or cannot be bound: the daemon goes on without it.
    bool Start(unsigned port);
    // Closes the listener and waits (bounded) for its threads. Idempotent.
    void Stop();
    // The port served, 0 when off.
    unsigned Port() const { return Serving; }

private:
    // Start's work once the port is known to be valid; may throw (no memory, no thread).
    bool Listen(unsigned port);

    KLogger& Logger;
    BodySource Body;
    // Shared with the listening thread, which keeps it should a client outlast Stop's wait.
    std::shared_ptr<KHttpEndpoint> Http;
    unsigned Serving = 0;
    KThreadLifetimes Threads{false};
};
