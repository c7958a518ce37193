#pragma once
// An object that owns one detached thread running its Execute(), with flags that tell
// whether it is starting, running or has finished.
#include <atomic>

#include "Basekit/KThreadLifetimes.h"

namespace basekit {

class KThread {
public:
    KThread() = default;
    // Waits (bounded) for a thread still running: it uses this object to its last step.
    virtual ~KThread();
    KThread(const KThread&) = delete;
    KThread& operator=(const KThread&) = delete;

    // Runs on the new thread; an escaping exception is logged and ends the thread.
    virtual void Execute() = 0;

    // Starts Execute() on a new thread (policy 0: default scheduling). False when no thread
    // could be started.
    bool Start(int priority = 0, unsigned policy = 0);
    // True when the thread vanished within ms (4294967295 waits forever); false on time-out
    // or when it had already stopped by itself.
    bool Join(unsigned ms);

    bool IsRunning() const { return Running; }
    bool IsFinished() const { return Finished; }
    bool IsStopped() const { return Stopped; }

    // A detached thread; the handle is an owned cell holding the thread id, freed (and 0
    // returned) with closeHandle. A policy of 1..4 is applied at priority 1 when running as root.
    static void* StartThread(void* routine, void* arg, int priority, bool unused, bool closeHandle,
                             unsigned policy);
    // The routine StartThread runs for a KThread object.
    static void* Starter(void* thread);
    static void CloseThreadHandle(void* handle);
    [[noreturn]] static void Exit();
    static bool SetPriority(int level);
    static bool SetPriority(void* handle, int level, int unused);
    // Priority level 0..5 of the thread (none: the calling thread).
    static int GetPriority(void* handle);

private:
    void* Handle = nullptr;
    std::atomic<bool> Running{false};
    std::atomic<bool> Starting{false};
    std::atomic<bool> Finished{false};
    std::atomic<bool> Stopped{false};
    KThreadLifetimes Lifetime{false};
    KThreadLifetimes::Token Alive; // handed to the thread, which holds it to its last step
};

} // namespace basekit
