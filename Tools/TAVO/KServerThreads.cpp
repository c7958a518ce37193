#include "Tools/TAVO/KServerThreads.h"

#include "Basekit/KHostSystem.h"

namespace {

const unsigned StartSettleMs = 250;
const unsigned WaitPollMs = 10;
const unsigned DetachedWaitMs = 30000; // every thread sees a stop within one receive time-out

} // namespace

KServerThreads::KServerThreads(basekit::KThreadMutex& stateMutex) : StateMutex(stateMutex) {}

int KServerThreads::Start(const std::list<KNETInterfaceEx>& interfaces, Routine routine, void* argument)
{
    basekit::KLockGuard guard(StateMutex);
    if (Running)
        return 1;
    if (interfaces.empty())
        return 5;
    Interfaces = interfaces;
    // ServerThreads is not zeroed either: see LiveThreads.
    Running = true;
    for (size_t i = 0; i < interfaces.size(); ++i) {
        if (!StartDetached(routine, argument)) {
            KHostSystem::Delay(StartSettleMs);
            Stop();
            return 1;
        }
    }
    KHostSystem::Delay(StartSettleMs);
    return 0;
}

int KServerThreads::Stop()
{
    basekit::KLockGuard guard(StateMutex);
    if (!Running)
        return 1;
    Running = false;
    return 0;
}

bool KServerThreads::StartDetached(Routine routine, void* argument)
{
    ++LiveThreads;
    void* thread = KHostSystem::StartThread(reinterpret_cast<void*>(routine), argument, 0);
    if (!thread) {
        --LiveThreads;
        return false;
    }
    KHostSystem::CloseThreadHandle(thread);
    return true;
}

bool KServerThreads::TakeInterface(KNETInterfaceEx& iface)
{
    basekit::KLockGuard guard(StateMutex);
    if (Interfaces.empty())
        return false;
    iface = Interfaces.front();
    Interfaces.pop_front();
    ++ServerThreads;
    return true;
}

void KServerThreads::LeaveServerThread()
{
    {
        basekit::KLockGuard guard(StateMutex);
        --ServerThreads;
    }
    --LiveThreads;
}

int KServerThreads::ServerThreadCount()
{
    basekit::KLockGuard guard(StateMutex);
    return ServerThreads;
}

void KServerThreads::WaitForZero(const std::function<int()>& count, unsigned limitMs)
{
    for (unsigned waited = 0; waited < limitMs; waited += WaitPollMs) {
        {
            basekit::KLockGuard guard(StateMutex);
            if (count() <= 0)
                return;
        }
        KHostSystem::Delay(WaitPollMs);
    }
}

void KServerThreads::StopAndWaitDetached()
{
    Stop();
    for (unsigned waited = 0; LiveThreads > 0 && waited < DetachedWaitMs; waited += WaitPollMs)
        KHostSystem::Delay(WaitPollMs);
}
