#pragma once
// An auto-reset event: a pulse wakes the current waiters, or the next one when nobody waits.

namespace basekit {

class KSystemEvent {
public:
    explicit KSystemEvent(const char* name = nullptr);
    ~KSystemEvent();
    KSystemEvent(const KSystemEvent&) = delete;
    KSystemEvent& operator=(const KSystemEvent&) = delete;

    // True when pulsed within ms (4294967295 waits forever).
    bool Wait(unsigned ms);
    void Pulse();

private:
    void* Handle;
};

} // namespace basekit
