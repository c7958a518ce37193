// Timer manager: firing order, cancellation, the 32-bit tick wrap (driven by an injected
// tick), callbacks that throw or start timers, and the start and stop reports.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "Basekit/KHostSystem.h"
#include "Basekit/KLogger.h"
#include "Basekit/TimerManager.h"
#include "tests/support/TestKit.h"

namespace {

// What the callbacks saw, in firing order: Record's values and the test's markers apart.
std::mutex mutex;
std::condition_variable changed;
std::vector<int> fired, markers;
TimerManager* manager = nullptr;

void* Arg(int value)
{
    return reinterpret_cast<void*>(static_cast<intptr_t>(value));
}

void Add(std::vector<int>& to, void* arg)
{
    std::lock_guard<std::mutex> lock(mutex);
    to.push_back(static_cast<int>(reinterpret_cast<intptr_t>(arg)));
    changed.notify_all();
}

void Record(void* arg)
{
    Add(fired, arg);
}

// Waits until Record has seen count values, then hands them back.
std::vector<int> Fired(size_t count = 0)
{
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait_for(lock, std::chrono::seconds(10), [&] { return fired.size() >= count; });
    return fired;
}

std::string BasekitLog()
{
    return testkit::ReadFile(KLogger::GetLogDirectory() + testkit::ExeName() + ".basekit.log");
}

class Timers : public ::testing::Test {
protected:
    void SetUp() override
    {
        fired.clear();
        manager = TimerManager::instance();
        ASSERT_NE(manager, nullptr);
    }
    void TearDown() override
    {
        TimerManager::stop();
        TimerManager::destroy();
    }

    // Sets the tick and returns once the timer thread has checked at it: a zero-delay marker
    // set now is due at the first check that sees this tick, together with everything else due.
    void AdvanceTo(unsigned now)
    {
        tick.Set(now);
        std::unique_lock<std::mutex> lock(mutex);
        const size_t before = markers.size();
        ASSERT_NE(manager->startTimer(0, nullptr, [](void*) { Add(markers, nullptr); }), 0u);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return markers.size() > before; }));
    }

    testkit::FakeTick tick{1000};
};

TEST_F(Timers, DueTimersFireByExpiryThenByInsertionNeverBefore)
{
    EXPECT_NE(BasekitLog().find("TimerManager starting with tick=1000"), std::string::npos);
    const unsigned delays[] = {999, 0, 500, 0}; // timer i carries i
    for (int i = 0; i < 4; ++i)
        ASSERT_NE(manager->startTimer(delays[i], Arg(i), &Record), 0u);
    AdvanceTo(1998);
    EXPECT_EQ(Fired(3), (std::vector<int>{1, 3, 2})); // 999 not yet due
    AdvanceTo(1999);
    EXPECT_EQ(Fired(4), (std::vector<int>{1, 3, 2, 0}));
}

TEST_F(Timers, StopTimerReturnsTheArgOfAPendingTimerOnlyAndStopReportsThePendingOnes)
{
    const unsigned kept = manager->startTimer(10, Arg(1), &Record);
    const unsigned cancelled = manager->startTimer(10, Arg(2), &Record);
    EXPECT_EQ(manager->stopTimer(cancelled), Arg(2));
    EXPECT_EQ(manager->stopTimer(cancelled), nullptr); // already gone
    EXPECT_EQ(manager->stopTimer(0), nullptr);
    EXPECT_EQ(manager->stopTimer(4242), nullptr);
    AdvanceTo(1010);
    EXPECT_EQ(Fired(1), std::vector<int>{1});
    EXPECT_EQ(manager->stopTimer(kept), nullptr); // fired
    manager->startTimer(500, Arg(3), &Record);
    manager->startTimer(600, Arg(4), &Record);
    EXPECT_TRUE(TimerManager::stop());
    EXPECT_NE(BasekitLog().find("Timer manager stopped with 2 timers."), std::string::npos);
    EXPECT_EQ(manager->startTimer(10, Arg(5), &Record), 0u); // refused
    EXPECT_FALSE(TimerManager::stop());                      // already stopped
    EXPECT_EQ(Fired(), std::vector<int>{1});
}

TEST_F(Timers, TimersBeforeTheWrapFireBeforeItOrWhenItIsSeenThoseAfterItOnlyAfter)
{
    AdvanceTo(4294967195u);
    manager->startTimer(200, Arg(1), &Record); // expires at tick 99 after the wrap
    manager->startTimer(50, Arg(2), &Record);  // 4294967245, before the wrap
    manager->startTimer(90, Arg(3), &Record);  // 4294967285: the tick jumps over it
    AdvanceTo(4294967250u);
    EXPECT_EQ(Fired(1), std::vector<int>{2}); // the one behind the wrap does not hide it
    AdvanceTo(50);                            // wrapped, not yet at 99
    EXPECT_EQ(Fired(2), (std::vector<int>{2, 3}));
    AdvanceTo(99);
    EXPECT_EQ(Fired(3), (std::vector<int>{2, 3, 1}));
    EXPECT_NE(BasekitLog().find("TimerManager flag inversion. now(50) < last(4294967250)."), std::string::npos);
}

void StartAnother(void*)
{
    // Runs without the manager's lock held, so it may start timers itself.
    manager->startTimer(0, Arg(2), &Record);
    Record(Arg(1));
}

TEST_F(Timers, ACallbackThatThrowsIsLoggedAndTheOthersStillRunOrStartTimers)
{
    manager->startTimer(5, nullptr, [](void*) { throw std::runtime_error("callback failed"); });
    manager->startTimer(6, nullptr, [](void*) { throw 5; });
    manager->startTimer(7, nullptr, &StartAnother);
    AdvanceTo(1007);
    EXPECT_EQ(Fired(2), (std::vector<int>{1, 2}));
    const std::string log = BasekitLog();
    EXPECT_NE(log.find("TimerManager callback exception: callback failed"), std::string::npos);
    EXPECT_NE(log.find("TimerManager callback unknown error."), std::string::npos);
}

} // namespace
