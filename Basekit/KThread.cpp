#include "Basekit/KThread.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cxxabi.h>
#include <exception>
#include <memory>
#include <pthread.h>
#include <sched.h>
#include <typeinfo>
#include <unistd.h>

#include "Basekit/KHostSystem.h"

namespace basekit {

namespace {

const unsigned kInfinite = 4294967295u;
const unsigned kForeverStepMs = 3600000; // an hour per wait when told to wait forever

// Set by Exit() on its own thread, so that Starter lets the unwinding of pthread_exit pass.
thread_local bool exiting = false;

// The handle of a KThread: an owned cell holding the thread id.
struct ThreadCell {
    pthread_t id;
};

pthread_t IdOf(void* handle)
{
    return handle ? static_cast<ThreadCell*>(handle)->id : pthread_self();
}

kstring TypeName(const KThread& thread)
{
    const char* mangled = typeid(thread).name();
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> readable(abi::__cxa_demangle(mangled, nullptr, nullptr, &status),
                                                     std::free);
    return status == 0 && readable ? kstring(readable.get()) : kstring(mangled);
}

} // namespace

KThread::~KThread()
{
    CloseThreadHandle(Handle);
}

bool KThread::Start(int priority, unsigned policy)
{
    CloseThreadHandle(Handle);
    Finished = false;
    Stopped = false;
    Starting = true;
    Alive = Lifetime.Acquire(KThreadLifetimes::Worker);
    Handle = StartThread(reinterpret_cast<void*>(&KThread::Starter), this, priority, false, false, policy);
    if (!Handle) {
        Starting = false;
        Alive.Release();
    }
    return Handle != nullptr;
}

bool KThread::Join(unsigned ms)
{
    // The thread gives its token back as its last step: waiting for the count to fall is
    // waiting for the thread to end, on a condition variable rather than in steps.
    bool ended;
    if (ms == kInfinite) {
        while (!Lifetime.WaitIdle(KThreadLifetimes::After(kForeverStepMs))) {
        }
        ended = true;
    } else {
        ended = Lifetime.WaitIdle(KThreadLifetimes::After(ms));
    }
    if (!ended) // still counted: only a thread that vanished without its last step is joined
        return Handle && pthread_kill(IdOf(Handle), 0) == ESRCH;
    KHostSystem::ReportThread(klTrace, "Unable to join %10u, thread already terminated",
                              static_cast<unsigned>(Handle ? IdOf(Handle) : 0));
    return false;
}

void* KThread::StartThread(void* routine, void* arg, int, bool, bool closeHandle, unsigned policy)
{
    int chosen = SCHED_OTHER;
    if (policy != 0) {
        if (geteuid() != 0)
            KHostSystem::ReportThread(klWarning,
                                      "Unable to start thread using scheduler %d -- need to be running as root to "
                                      "change scheduler, creating with default scheduler",
                                      static_cast<int>(policy));
        else if (policy >= 5)
            KHostSystem::ReportThread(klWarning,
                                      "Invalid thread scheduler %d, refusing to set thread scheduler and creating "
                                      "with default scheduler",
                                      static_cast<int>(policy));
        else
            chosen = static_cast<int>(policy);
    }
    unsigned long id = 0;
    if (!KHostSystem::StartDetachedThread(reinterpret_cast<KThreadRoutine>(routine), arg, chosen, &id))
        return nullptr;
    auto* cell = new ThreadCell{static_cast<pthread_t>(id)};
    if (closeHandle) {
        CloseThreadHandle(cell);
        return nullptr;
    }
    return cell;
}

void* KThread::Starter(void* object)
{
    auto* thread = static_cast<KThread*>(object);
    // Released when this function returns, after the last use of the object.
    KThreadLifetimes::Token alive = std::move(thread->Alive);
    const kstring name = TypeName(*thread);
    KHostSystem::ReportThread(klNotice, "Thread started: %s", name.c_str());
    thread->Running = true;
    thread->Starting = false;
    auto finish = [thread] {
        thread->Finished = true;
        thread->Stopped = true;
        thread->Running = false;
    };
    try {
        thread->Execute();
        finish();
        KHostSystem::ReportThread(klNotice, "Thread stopped: %s", name.c_str());
    } catch (const std::exception& e) {
        KHostSystem::ReportThread(klError, "Thread %s stopped due to unhandled exception %s", name.c_str(), e.what());
        finish();
    } catch (...) {
        if (exiting) {
            // Exit() unwinds the stack through here; the unwinding must go on.
            finish();
            throw;
        }
        KHostSystem::ReportThread(klError, "Thread %s stopped due to unknown unhandled exception", name.c_str());
        finish();
    }
    return nullptr;
}

void KThread::CloseThreadHandle(void* handle)
{
    delete static_cast<ThreadCell*>(handle);
}

void KThread::Exit()
{
    exiting = true;
    pthread_exit(nullptr);
}

bool KThread::SetPriority(int level)
{
    return KHostSystem::ThreadSetPriority(nullptr, level, 1);
}

bool KThread::SetPriority(void* handle, int level, int unused)
{
    return KHostSystem::ThreadSetPriority(reinterpret_cast<void*>(IdOf(handle)), level, unused);
}

int KThread::GetPriority(void* handle)
{
    int policy = SCHED_OTHER;
    sched_param param{};
    if (pthread_getschedparam(IdOf(handle), &policy, &param) != 0)
        return 0;
    const long priority = param.sched_priority;
    const long maximum = sched_get_priority_max(policy);
    if (priority >= maximum)
        return 5;
    if (3 * priority >= 2 * maximum)
        return 4;
    if (2 * priority >= maximum)
        return 3;
    if (3 * priority >= maximum)
        return 2;
    if (4 * priority < maximum)
        return 0;
    return 2;
}

} // namespace basekit
