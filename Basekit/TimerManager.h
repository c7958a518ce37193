#pragma once
// The process-wide one-shot timer service: a callback with its argument after a number of
// milliseconds, run on one background thread that checks the timers every 25 ms.
#include <atomic>
#include <map>
#include <set>
#include <vector>

#include "Basekit/KLogger.h"

// One pending timer. flag is the tick epoch its expiry belongs to; the epoch flips each time
// the 32-bit millisecond tick wraps.
struct TimerCell {
    unsigned id = 0;
    unsigned expire = 0;
    void* arg = nullptr;
    void (*callback)(void*) = nullptr;
    bool flag = false;
};

// Orders cells of one epoch by expiry. The two epochs are kept in separate runs (by flag), so
// a timer beyond the next wrap never sits in front of one that is due now.
struct TimerCellCompare {
    bool operator()(const TimerCell& a, const TimerCell& b) const
    {
        if (a.flag != b.flag)
            return a.flag < b.flag;
        return a.expire < b.expire;
    }
};

class TimerManager {
public:
    // The manager, created and started on first use.
    static TimerManager* instance();
    // Starts the timer thread; true when running (also when it already was).
    static bool start();
    // Ends the timer thread (waits up to 1000 ms); pending timers are dropped. False when not
    // running or when the thread did not end in time.
    static bool stop();
    static void destroy();

    // The id of a new timer (ids start at 1), or 0 while shutting down.
    unsigned startTimer(unsigned ms, void* arg, void (*callback)(void*));
    // Cancels a pending timer and returns its arg; 0 for an unknown, fired or running one.
    void* stopTimer(unsigned id);

    static void Log(KLogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

private:
    typedef std::multiset<TimerCell, TimerCellCompare> TimerList;

    TimerManager() = default;

    static void* timerThreadStarter(void* terminationEvent);
    static void timerThread(void* terminationEvent);
    // Takes the due cells out of both lists, in the order they are to run; under m_mutex.
    static void takeDue(unsigned now, std::vector<TimerCell>& due);
    static TimerList::iterator runBegin(bool flag);
    static TimerList::iterator runEnd(bool flag);

    unsigned m_nextId = 0; // guarded by m_mutex

    static TimerManager* m_instance;
    static void* m_mutex; // guards the lists, m_lastTick and m_flag; non-null while started
    static void* m_shutDownEvent;
    static void* m_timerThread_WaitTermination;
    static void* m_timerThread;
    static std::atomic<bool> m_bShuttingDown;
    static unsigned m_lastTick;
    static bool m_flag;
    static TimerList m_timerList;
    static std::map<unsigned, TimerList::iterator> m_timerIdList;
};
