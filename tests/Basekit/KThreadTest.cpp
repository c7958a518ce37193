// Threads: real-time scheduling or the logged fallback, and the KThread life cycle with its
// running-log lines.
#include <gtest/gtest.h>

#include <future>
#include <linux/capability.h>
#include <pthread.h>
#include <sched.h>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

#include "Basekit/KHostSystem.h"
#include "Basekit/KLogger.h"
#include "Basekit/KSystemEvent.h"
#include "Basekit/KThread.h"
#include "tests/support/TestKit.h"

namespace {

// Thread lines reach the running log once logging is up, as in every program that logs.
KLogger Logging(klsSystem, -1, "TEST", nullptr, 0, false);

const unsigned kJoinMs = 10000;
const char kFallbackWarning[] =
    "Unable to start thread using scheduler 1: (1) Operation not permitted, creating with default scheduler";

using testkit::Count;

std::string RunningLog()
{
    return testkit::ReadFile(KLogger::GetLogDirectory() + testkit::ExeName() + ".running.log");
}

// Whether this process may put a thread under SCHED_FIFO at all; probed on a throw-away thread.
bool FifoAllowed()
{
    bool allowed = false;
    std::thread([&] {
        sched_param param{};
        param.sched_priority = 1;
        allowed = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
    }).join();
    return allowed;
}

struct Scheduling {
    int policy = -1;
    sched_param param{};
};

void* ReportScheduling(void* arg)
{
    Scheduling seen;
    pthread_getschedparam(pthread_self(), &seen.policy, &seen.param);
    static_cast<std::promise<Scheduling>*>(arg)->set_value(seen);
    return nullptr;
}

// Starts ReportScheduling through KHostSystem::StartThread.
Scheduling StartAndReport()
{
    std::promise<Scheduling> report;
    std::future<Scheduling> result = report.get_future();
    EXPECT_NE(KHostSystem::StartThread(reinterpret_cast<void*>(&ReportScheduling), &report), nullptr);
    EXPECT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    return result.get();
}

TEST(StartThread, RealTimeFifoWhereAllowedElseTheDefaultWithOneWarning)
{
    const Scheduling seen = StartAndReport();
    if (FifoAllowed()) {
        EXPECT_EQ(seen.policy, SCHED_FIFO);
        EXPECT_EQ(seen.param.sched_priority, 1);
    }
    // Without CAP_SYS_NICE (per thread) and with no RT allowance the kernel answers EPERM.
    rlimit none{0, 0};
    ASSERT_EQ(setrlimit(RLIMIT_RTPRIO, &none), 0);
    std::thread([] {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2] = {};
        ASSERT_EQ(syscall(SYS_capget, &header, data), 0);
        data[CAP_SYS_NICE / 32].effective &= ~(1u << (CAP_SYS_NICE % 32));
        ASSERT_EQ(syscall(SYS_capset, &header, data), 0);
        EXPECT_EQ(StartAndReport().policy, SCHED_OTHER);
        EXPECT_EQ(StartAndReport().policy, SCHED_OTHER);
    }).join();
    EXPECT_EQ(Count(RunningLog(), kFallbackWarning), 1);
}

// The class names appear in the running log's lines.
struct GatedThread : basekit::KThread {
    basekit::KSystemEvent gate;
    void Execute() override { gate.Wait(kJoinMs); }
};
struct ThrowingThread : basekit::KThread {
    void Execute() override { throw std::runtime_error("disk on fire"); }
};
struct OddThrowingThread : basekit::KThread {
    void Execute() override { throw 42; }
};
struct ExitingThread : basekit::KThread {
    void Execute() override { KThread::Exit(); }
};

TEST(KThread, LifeCycleFlagsAndLinesAndEscapingExceptions)
{
    GatedThread gated;
    ASSERT_TRUE(gated.Start());
    EXPECT_FALSE(gated.Join(150)); // still inside Execute
    EXPECT_TRUE(gated.IsRunning());
    EXPECT_FALSE(gated.IsFinished());
    gated.gate.Pulse();
    ThrowingThread throwing;
    OddThrowingThread odd;
    ExitingThread exiting;
    for (basekit::KThread* thread : std::initializer_list<basekit::KThread*>{&gated, &throwing, &odd, &exiting}) {
        ASSERT_TRUE(thread == &gated || thread->Start());
        thread->Join(kJoinMs);
        EXPECT_TRUE(thread->IsFinished());
        EXPECT_TRUE(thread->IsStopped());
        EXPECT_FALSE(thread->IsRunning());
    }
    _NotifyThreadInit("Tools/TAVO/KTimeServer", "ThreadStarter", 87);
    const std::string log = RunningLog();
    const std::pair<const char*, size_t> lines[] = {
        {"Thread started: (anonymous namespace)::GatedThread", 1}, {"Thread stopped: (anonymous namespace)::GatedThread", 1},
        {"Thread (anonymous namespace)::ThrowingThread stopped due to unhandled exception disk on fire", 1},
        {"Thread (anonymous namespace)::OddThrowingThread stopped due to unknown unhandled exception", 1},
        {"Thread stopped: (anonymous namespace)::ThrowingThread", 0},
        {"Thread started at file Tools/TAVO/KTimeServer function ThreadStarter line 87", 1}};
    for (const auto& line : lines)
        EXPECT_EQ(Count(log, line.first), line.second) << line.first;
}

} // namespace
