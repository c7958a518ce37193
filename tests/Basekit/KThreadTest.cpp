// Threads: real-time scheduling or the logged fallback, the KThread life cycle and its
// running-log lines, priority levels.
#include <gtest/gtest.h>

#include <chrono>
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

const auto kDeadline = std::chrono::seconds(10);
const unsigned kJoinMs = 10000;

struct Scheduling {
    int policy = -1;
    int priority = -1;
};

std::string RunningLog()
{
    return testkit::ReadFile(KLogger::GetLogDirectory() + testkit::ExeName() + ".running.log");
}

using testkit::Count;

// Whether this process may put a thread under SCHED_FIFO at all (root with CAP_SYS_NICE, or
// an RT budget); probed on a throw-away thread.
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

// Started through KHostSystem::StartThread: reports the scheduling it runs with.
void* ReportScheduling(void* arg)
{
    auto* report = static_cast<std::promise<Scheduling>*>(arg);
    Scheduling seen;
    sched_param param{};
    pthread_getschedparam(pthread_self(), &seen.policy, &param);
    seen.priority = param.sched_priority;
    report->set_value(seen);
    return nullptr;
}

Scheduling StartAndReport()
{
    std::promise<Scheduling> report;
    std::future<Scheduling> result = report.get_future();
    EXPECT_NE(KHostSystem::StartThread(reinterpret_cast<void*>(&ReportScheduling), &report), nullptr);
    EXPECT_EQ(result.wait_for(kDeadline), std::future_status::ready);
    return result.get();
}

// Removes CAP_SYS_NICE from the calling thread only (capabilities are per thread).
bool DropSysNice()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    data[CAP_SYS_NICE / 32].effective &= ~(1u << (CAP_SYS_NICE % 32));
    return syscall(SYS_capset, &header, data) == 0;
}

const char kFallbackWarning[] =
    "Unable to start thread using scheduler 1: (1) Operation not permitted, creating with default scheduler";

TEST(StartThread, RunsRealTimeFifoPriorityOneWhereAllowed)
{
    const Scheduling seen = StartAndReport();
    if (FifoAllowed()) {
        EXPECT_EQ(seen.policy, SCHED_FIFO);
        EXPECT_EQ(seen.priority, 1);
    } else {
        EXPECT_EQ(seen.policy, SCHED_OTHER);
        EXPECT_EQ(Count(RunningLog(), kFallbackWarning), 1);
    }
}

TEST(StartThread, RefusedRealTimeFallsBackAndSaysSoOnce)
{
    // Without CAP_SYS_NICE and with no RT priority allowance the kernel answers EPERM.
    rlimit none{0, 0};
    ASSERT_EQ(setrlimit(RLIMIT_RTPRIO, &none), 0);
    std::vector<Scheduling> seen;
    std::thread([&] {
        ASSERT_TRUE(DropSysNice());
        seen.push_back(StartAndReport());
        seen.push_back(StartAndReport());
    }).join();
    ASSERT_EQ(seen.size(), 2u);
    for (const Scheduling& one : seen)
        EXPECT_EQ(one.policy, SCHED_OTHER);
    EXPECT_EQ(Count(RunningLog(), kFallbackWarning), 1);
}

TEST(NotifyThreadInit, NamesWhereTheThreadStarted)
{
    _NotifyThreadInit("Tools/TAVO/KTimeServer", "ThreadStarter", 87);
    EXPECT_EQ(Count(RunningLog(), "Thread started at file Tools/TAVO/KTimeServer function ThreadStarter line 87"), 1);
}

// --- KThread --------------------------------------------------------------------------------

class GatedThread : public basekit::KThread {
public:
    basekit::KSystemEvent gate;
    std::atomic<bool> ran{false};
    void Execute() override
    {
        ran = true;
        gate.Wait(kJoinMs);
    }
};

class ThrowingThread : public basekit::KThread {
public:
    void Execute() override { throw std::runtime_error("disk on fire"); }
};

class OddThrowingThread : public basekit::KThread {
public:
    void Execute() override { throw 42; }
};

class ExitingThread : public basekit::KThread {
public:
    void Execute() override
    {
        KThread::Exit();
    }
};

TEST(KThread, JoinTimesOutWhileRunningAndTheFlagsFollowTheLifeCycle)
{
    GatedThread thread;
    ASSERT_TRUE(thread.Start());
    EXPECT_FALSE(thread.Join(150)); // still inside Execute
    EXPECT_TRUE(thread.ran);
    EXPECT_TRUE(thread.IsRunning());
    EXPECT_FALSE(thread.IsFinished());
    thread.gate.Pulse();
    EXPECT_FALSE(thread.Join(kJoinMs)); // it ended by itself: nothing left to join
    EXPECT_TRUE(thread.IsFinished());
    EXPECT_TRUE(thread.IsStopped());
    EXPECT_FALSE(thread.IsRunning());
    const std::string log = RunningLog();
    EXPECT_EQ(Count(log, "Thread started: (anonymous namespace)::GatedThread"), 1);
    EXPECT_EQ(Count(log, "Thread stopped: (anonymous namespace)::GatedThread"), 1);
}

TEST(KThread, EscapingExceptionsAreLoggedAndEndTheThread)
{
    ThrowingThread throwing;
    OddThrowingThread odd;
    ExitingThread exiting;
    basekit::KThread* threads[] = {&throwing, &odd, &exiting};
    for (basekit::KThread* thread : threads) {
        ASSERT_TRUE(thread->Start());
        thread->Join(kJoinMs);
        EXPECT_TRUE(thread->IsFinished());
        EXPECT_TRUE(thread->IsStopped());
    }
    const std::string log = RunningLog();
    EXPECT_EQ(Count(log, "Thread (anonymous namespace)::ThrowingThread stopped due to unhandled exception "
                               "disk on fire"),
              1);
    EXPECT_EQ(Count(log, "Thread (anonymous namespace)::OddThrowingThread stopped due to unknown unhandled "
                               "exception"),
              1);
    EXPECT_EQ(Count(log, "Thread stopped: (anonymous namespace)::ThrowingThread"), 0);
}

struct PolicyCase {
    unsigned policy;
    int expectedPolicy;       // when running as root with real-time scheduling allowed
    const char* warning;      // running-log warning, or nullptr
};

void PrintTo(const PolicyCase& c, std::ostream* out)
{
    *out << "policy" << c.policy;
}

class ThreadPolicy : public ::testing::TestWithParam<PolicyCase> {};

TEST_P(ThreadPolicy, AppliesValidPoliciesAndRefusesOthers)
{
    const PolicyCase c = GetParam();
    if (c.expectedPolicy != SCHED_OTHER && (geteuid() != 0 || !FifoAllowed()))
        GTEST_SKIP() << "real-time scheduling not available here";
    const int before = c.warning ? Count(RunningLog(), c.warning) : 0;
    std::promise<Scheduling> report;
    std::future<Scheduling> result = report.get_future();
    void* handle = basekit::KThread::StartThread(reinterpret_cast<void*>(&ReportScheduling), &report, 0, false,
                                                 true, c.policy);
    EXPECT_EQ(handle, nullptr); // closeHandle: nothing to keep
    ASSERT_EQ(result.wait_for(kDeadline), std::future_status::ready);
    const Scheduling seen = result.get();
    EXPECT_EQ(seen.policy, c.expectedPolicy);
    if (c.expectedPolicy != SCHED_OTHER) {
        EXPECT_EQ(seen.priority, 1);
    }
    if (c.warning) {
        EXPECT_EQ(Count(RunningLog(), c.warning), before + 1);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Policies, ThreadPolicy,
    ::testing::Values(PolicyCase{0, SCHED_OTHER, nullptr}, PolicyCase{1, SCHED_FIFO, nullptr},
                      PolicyCase{2, SCHED_RR, nullptr},
                      PolicyCase{5, SCHED_OTHER,
                                 "Invalid thread scheduler 5, refusing to set thread scheduler and creating with "
                                 "default scheduler"},
                      PolicyCase{7, SCHED_OTHER,
                                 "Invalid thread scheduler 7, refusing to set thread scheduler and creating with "
                                 "default scheduler"}));

struct LevelCase {
    int level;
    int readBack;
};

void PrintTo(const LevelCase& c, std::ostream* out)
{
    *out << "level" << c.level;
}

class PriorityLevel : public ::testing::TestWithParam<LevelCase> {};

TEST_P(PriorityLevel, SetLevelReadsBackUnderFifo)
{
    if (!FifoAllowed())
        GTEST_SKIP() << "real-time scheduling not available here";
    const LevelCase c = GetParam();
    int readBack = -1;
    int priority = -1;
    std::thread([&] {
        sched_param param{};
        param.sched_priority = 1;
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
        basekit::KThread::SetPriority(c.level);
        readBack = basekit::KThread::GetPriority(nullptr);
        int policy = 0;
        pthread_getschedparam(pthread_self(), &policy, &param);
        priority = param.sched_priority;
    }).join();
    EXPECT_EQ(readBack, c.readBack) << "priority " << priority;
}

// FIFO priorities 1..99: level 5 is the maximum, 4 two thirds or more, 3 half or more, 2 a
// third or more; the lowest levels map to the minimum, which reads back below a quarter.
INSTANTIATE_TEST_SUITE_P(Levels, PriorityLevel,
                         ::testing::Values(LevelCase{0, 0}, LevelCase{1, 0}, LevelCase{2, 2}, LevelCase{3, 3},
                                           LevelCase{4, 4}, LevelCase{5, 5}));

} // namespace
