#pragma once
// The life cycle of a server that runs one receiving thread per interface: starting the
// detached threads, the running flag they poll, handing each its interface, counting them out
// and the bounded waits of a stop. The owner keeps its own texts and wait bounds.
#include <atomic>
#include <functional>
#include <list>

#include "Basekit/KThreadMutex.h"
#include "Tools/TAVO/KNETInterfaceEx.h"

class KServerThreads {
public:
    typedef void* (*Routine)(void* argument);

    // stateMutex is the owner's, which may guard more of its state; it must outlive this object.
    explicit KServerThreads(basekit::KThreadMutex& stateMutex);
    KServerThreads(const KServerThreads&) = delete;
    KServerThreads& operator=(const KServerThreads&) = delete;

    // Starts one detached thread running routine(argument) per interface; each takes its
    // interface with TakeInterface. 0 started, 1 already running or a thread could not be
    // started (the others are stopped), 5 empty interface list.
    int Start(const std::list<KNETInterfaceEx>& interfaces, Routine routine, void* argument);
    // 0 if it was running, 1 if already stopped.
    int Stop();
    bool IsRunning() const { return Running; }

    // Starts one more detached thread, counted until it calls LeaveDetached; false if none started.
    bool StartDetached(Routine routine, void* argument);
    // The last use of the owner by a detached thread.
    void LeaveDetached() { --LiveThreads; }

    // For a thread of Start: its interface, counting it as a server thread; false when none is left.
    bool TakeInterface(KNETInterfaceEx& iface);
    // The end of a server thread that took an interface; the last use of the owner.
    void LeaveServerThread();
    int ServerThreadCount();

    // Waits until count() (called under the state mutex) is 0, at most limitMs.
    void WaitForZero(const std::function<int()>& count, unsigned limitMs);
    // Stops, then waits (at most 30 s) until every detached thread has left: for the owner's
    // destructor, as the threads point back at the owner.
    void StopAndWaitDetached();

private:
    basekit::KThreadMutex& StateMutex;
    std::atomic<bool> Running{false};      // written under StateMutex, polled without it
    int ServerThreads = 0;                 // StateMutex
    std::list<KNETInterfaceEx> Interfaces; // not yet taken by a server thread; StateMutex
    // Threads started here that may still touch the owner. Not zeroed by a start: threads of an
    // earlier run that outlived a stop still count themselves out.
    std::atomic<int> LiveThreads{0};
};
