#include "Basekit/KThreadLifetimes.h"

#include <memory>
#include <sched.h>

#include "Basekit/KHostSystem.h"

namespace {

const unsigned StartFailurePauseMs = 250;
const unsigned DestructionWaitMs = 30000; // every thread sees a stop within one receive time-out

} // namespace

struct KThreadLifetimes::Launch {
    Token Held; // declared first, so destroyed after the body and whatever it captured
    Body Work;
};

KThreadLifetimes::Token::Token(Token&& other) noexcept : Owner(other.Owner), Counted(other.Counted)
{
    other.Owner = nullptr;
}

KThreadLifetimes::Token& KThreadLifetimes::Token::operator=(Token&& other) noexcept
{
    if (this != &other) {
        Release();
        Owner = other.Owner;
        Counted = other.Counted;
        other.Owner = nullptr;
    }
    return *this;
}

KThreadLifetimes::Token::~Token()
{
    Release();
}

void KThreadLifetimes::Token::Become(Kind kind)
{
    if (Owner && kind != Counted)
        Owner->Move(Counted, kind);
    Counted = kind;
}

void KThreadLifetimes::Token::Release()
{
    KThreadLifetimes* owner = Owner;
    Owner = nullptr;
    if (owner)
        owner->CountOut(Counted);
}

KThreadLifetimes::KThreadLifetimes(bool realTime) : RealTime(realTime) {}

KThreadLifetimes::~KThreadLifetimes()
{
    Stop();
    WaitIdle(After(DestructionWaitMs));
}

int KThreadLifetimes::StartServers(std::vector<Body> bodies)
{
    {
        std::lock_guard<std::mutex> lock(Mutex);
        if (Running)
            return 1;
        Running = true;
        bool started = true;
        for (Body& body : bodies)
            started = started && StartLocked(Server, body);
        if (started)
            return 0;
    }
    KHostSystem::Delay(StartFailurePauseMs);
    Stop();
    return 1;
}

int KThreadLifetimes::Stop()
{
    std::lock_guard<std::mutex> lock(Mutex);
    Changed.notify_all(); // for waits that end with the run
    return Running.exchange(false) ? 0 : 1;
}

KThreadLifetimes::Outcome KThreadLifetimes::Start(Kind kind, Body body, unsigned limit)
{
    std::lock_guard<std::mutex> lock(Mutex);
    if (Counts[kind] >= 0 && static_cast<unsigned>(Counts[kind]) >= limit)
        return Outcome::Full;
    return StartLocked(kind, body) ? Outcome::Started : Outcome::Failed;
}

bool KThreadLifetimes::StartLocked(Kind kind, Body& body)
{
    // Counted before the thread exists: a stop that comes meanwhile must wait for it too.
    std::unique_ptr<Launch> launch;
    try {
        launch.reset(new Launch{Token(this, kind), std::move(body)});
    } catch (const std::bad_alloc&) {
        return false;
    }
    ++Counts[kind];
    if (KHostSystem::StartDetachedThread(&KThreadLifetimes::Run, launch.get(), RealTime ? SCHED_FIFO : SCHED_OTHER,
                                         nullptr)) {
        launch.release(); // the thread owns it now
        return true;
    }
    // The lock is held here: count out by hand instead of through the token.
    launch->Held.Owner = nullptr;
    --Counts[kind];
    Changed.notify_all();
    return false;
}

KThreadLifetimes::Token KThreadLifetimes::Acquire(Kind kind)
{
    std::lock_guard<std::mutex> lock(Mutex);
    ++Counts[kind];
    return Token(this, kind);
}

void* KThreadLifetimes::Run(void* argument)
{
    std::unique_ptr<Launch> launch(static_cast<Launch*>(argument));
    try {
        launch->Work(launch->Held);
    } catch (...) {
        // The owners log their threads' failures; nothing may end the process from here.
    }
    return nullptr;
}

int KThreadLifetimes::Count(Kind kind)
{
    return Count({kind});
}

int KThreadLifetimes::Count(std::initializer_list<Kind> kinds)
{
    std::lock_guard<std::mutex> lock(Mutex);
    return CountLocked(kinds);
}

int KThreadLifetimes::CountLocked(std::initializer_list<Kind> kinds) const
{
    int sum = 0;
    for (Kind kind : kinds)
        sum += Counts[kind];
    return sum;
}

bool KThreadLifetimes::WaitIdle(Deadline deadline, std::initializer_list<Kind> kinds)
{
    std::unique_lock<std::mutex> lock(Mutex);
    return Changed.wait_until(lock, deadline, [&] { return CountLocked(kinds) <= 0; });
}

bool KThreadLifetimes::WaitUntil(Deadline deadline, const std::function<bool()>& done)
{
    std::unique_lock<std::mutex> lock(Mutex);
    return Changed.wait_until(lock, deadline, done);
}

void KThreadLifetimes::Notify()
{
    std::lock_guard<std::mutex> lock(Mutex);
    Changed.notify_all();
}

void KThreadLifetimes::CountOut(Kind kind)
{
    // Notified under the lock: once a waiter sees the count fall it may destroy this object,
    // and nothing here may touch it after the unlock.
    std::lock_guard<std::mutex> lock(Mutex);
    --Counts[kind];
    Changed.notify_all();
}

void KThreadLifetimes::Move(Kind from, Kind to)
{
    std::lock_guard<std::mutex> lock(Mutex);
    --Counts[from];
    ++Counts[to];
    Changed.notify_all();
}
