#pragma once
// An HTTP endpoint that answers GET on one path, as the metrics listener needs it. The daemon
// sees only this interface: the implementation (KHttplibEndpoint) lives in a module of its own,
// loaded when a port is configured, so that a daemon without the listener never maps the HTTP
// library and what it pulls in (TLS, compression: megabytes of resident memory).
#include <functional>
#include <string>

class KHttpEndpoint {
public:
    struct Settings {
        std::string Address; // numeric, the only one bound
        unsigned Port = 0;
        std::string Path;
        std::string ContentType;
        unsigned Workers = 1;
        unsigned Pending = 1;       // accepted connections waiting for a worker
        unsigned ClientSeconds = 2; // for each read and each write of a client
        unsigned MaxPayload = 0;    // bytes of a request body
        std::function<std::string()> Body;
    };

    // The module's one entry point: a new endpoint, owned by the caller (nullptr when out of
    // memory). A plain C name, so that it can be looked up.
    using Factory = KHttpEndpoint* (*)(const Settings& settings);
    static constexpr const char* FactoryName = "tavo_http_endpoint";

    virtual ~KHttpEndpoint() = default;
    // Binds the port; false with the reason in error.
    virtual bool Bind(std::string& error) = 0;
    // Serves on the calling thread (its workers inherit its scheduling) until Stop.
    virtual void Listen() = 0;
    virtual bool IsListening() = 0;
    virtual void Stop() = 0;
};
