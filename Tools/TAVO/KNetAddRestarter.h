#pragma once
// What the address poller calls, on its own thread, when a host IPv4 address changes.
class KNetAddRestarter {
public:
    virtual void Restart() {}
    virtual ~KNetAddRestarter() = default;
};
