#pragma once
// Tells systemd how the service is doing, over its notify socket ($NOTIFY_SOCKET: a path, or
// an abstract address when it starts with '@'), without libsystemd. Started by anything else
// (no NOTIFY_SOCKET) it says nothing.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

class KSystemdNotifier {
public:
    // Reads NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID from the environment.
    KSystemdNotifier();
    KSystemdNotifier(const KSystemdNotifier&) = delete;
    KSystemdNotifier& operator=(const KSystemdNotifier&) = delete;

    // The process's notifier: the service and the configuration reloader both speak through it.
    static KSystemdNotifier& Process();

    bool Enabled() const { return !Address.empty(); }
    // The watchdog's time-out for this process in microseconds; 0 when none is asked for.
    uint64_t WatchdogUsec() const { return Watchdog; }

    // One datagram of newline-separated assignments (READY=1, STATUS=...); false when it could
    // not be sent or there is no socket.
    bool Send(const std::string& state) const;

    // What STATUS= says; empty (none is sent) until the service sets it.
    void SetStatusSource(std::function<std::string()> source);
    std::string Status() const;
    // Sends the status line, if there is one.
    void SendStatus() const;

    // READY=1 with the status: the servers are up. STOPPING=1: the stop path has begun.
    void Ready();
    void Stopping();
    // Around a configuration reload pass, only between Ready and Stopping (a pass before the
    // start's end must not make it look finished): systemd shows the service reloading meanwhile.
    void Reloading() const;
    void Reloaded() const;

private:
    std::string Address; // the socket's path, '\0' first for an abstract one
    uint64_t Watchdog = 0;
    std::atomic<bool> Serving{false};
    mutable std::mutex SourceMutex;
    std::function<std::string()> Source; // SourceMutex
};
