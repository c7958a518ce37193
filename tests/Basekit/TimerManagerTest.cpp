// Timer manager: firing order, cancellation, zero delays, the 32-bit tick wrap (driven by an
// injected tick), callbacks that throw, and the stop report.
#include <gtest/gtest.h>

#include <atomic>
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

const auto kDeadline = std::chrono::seconds(10);

// What the callbacks saw, in firing order.
class Fired {
public:
    void Add(int value)
    {
        std::lock_guard<std::mutex> lock(mutex);
        values.push_back(value);
        changed.notify_all();
    }
    std::vector<int> Values()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return values;
    }
    bool WaitForCount(size_t count)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, kDeadline, [&] { return values.size() >= count; });
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(mutex);
        values.clear();
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<int> values;
};

Fired fired;
Fired markers;

void Record(void* arg)
{
    fired.Add(static_cast<int>(reinterpret_cast<intptr_t>(arg)));
}

void Mark(void* arg)
{
    markers.Add(static_cast<int>(reinterpret_cast<intptr_t>(arg)));
}

void* Arg(int value)
{
    return reinterpret_cast<void*>(static_cast<intptr_t>(value));
}

std::string BasekitLog()
{
    return testkit::ReadFile(KLogger::GetLogDirectory() + testkit::ExeName() + ".basekit.log");
}

class Timers : public ::testing::Test {
protected:
    void SetUp() override
    {
        fired.Clear();
        markers.Clear();
        manager = TimerManager::instance();
        ASSERT_NE(manager, nullptr);
    }

    void TearDown() override
    {
        TimerManager::stop();
        TimerManager::destroy();
    }

    // Returns once the timer thread has checked at the current tick: a zero-delay marker set
    // now is due at the first check that sees this tick, together with everything else due.
    void Checked()
    {
        const size_t before = markers.Values().size();
        ASSERT_NE(manager->startTimer(0, Arg(static_cast<int>(before)), &Mark), 0u);
        ASSERT_TRUE(markers.WaitForCount(before + 1));
    }

    void AdvanceTo(unsigned now)
    {
        tick.Set(now);
        Checked();
    }

    testkit::FakeTick tick{1000};
    TimerManager* manager = nullptr;
};

struct OrderCase {
    std::vector<unsigned> delays; // timer i carries the value i
    std::vector<int> order;
};

void PrintTo(const OrderCase& c, std::ostream* out)
{
    *out << "delays";
    for (unsigned delay : c.delays)
        *out << "_" << delay;
}

class TimerOrder : public Timers, public ::testing::WithParamInterface<OrderCase> {};

TEST_P(TimerOrder, DueTimersFireByExpiryThenByInsertion)
{
    const OrderCase c = GetParam();
    for (size_t i = 0; i < c.delays.size(); ++i)
        ASSERT_NE(manager->startTimer(c.delays[i], Arg(static_cast<int>(i)), &Record), 0u);
    AdvanceTo(1000 + 1000); // every one of them is due in the same check
    ASSERT_TRUE(fired.WaitForCount(c.order.size()));
    EXPECT_EQ(fired.Values(), c.order);
}

INSTANTIATE_TEST_SUITE_P(Delays, TimerOrder,
                         ::testing::Values(OrderCase{{30, 10, 20}, {1, 2, 0}}, OrderCase{{5, 5, 5}, {0, 1, 2}},
                                           OrderCase{{999, 0, 500, 0}, {1, 3, 2, 0}}, OrderCase{{1}, {0}}));

TEST_F(Timers, ATimerDoesNotFireBeforeItsExpiry)
{
    manager->startTimer(100, Arg(7), &Record);
    AdvanceTo(1099);
    EXPECT_TRUE(fired.Values().empty());
    AdvanceTo(1100);
    ASSERT_TRUE(fired.WaitForCount(1));
    EXPECT_EQ(fired.Values(), std::vector<int>{7});
}

TEST_F(Timers, StopTimerReturnsTheArgOfAPendingTimerOnly)
{
    const unsigned kept = manager->startTimer(10, Arg(1), &Record);
    const unsigned cancelled = manager->startTimer(10, Arg(2), &Record);
    EXPECT_EQ(manager->stopTimer(cancelled), Arg(2));
    EXPECT_EQ(manager->stopTimer(cancelled), nullptr); // already gone
    EXPECT_EQ(manager->stopTimer(0), nullptr);
    EXPECT_EQ(manager->stopTimer(4242), nullptr);
    AdvanceTo(1010);
    ASSERT_TRUE(fired.WaitForCount(1));
    EXPECT_EQ(fired.Values(), std::vector<int>{1});
    EXPECT_EQ(manager->stopTimer(kept), nullptr); // fired
}

TEST_F(Timers, TimerAcrossTheTickWrapFiresAfterTheWrapOnly)
{
    const unsigned beforeWrap = 4294967295u - 100;
    AdvanceTo(beforeWrap);
    manager->startTimer(200, Arg(1), &Record); // expires at tick 99 after the wrap
    manager->startTimer(50, Arg(2), &Record);  // expires at 4294967245, before the wrap

    AdvanceTo(4294967290u);
    ASSERT_TRUE(fired.WaitForCount(1));
    EXPECT_EQ(fired.Values(), std::vector<int>{2}); // the one behind the wrap does not hide it

    AdvanceTo(50); // wrapped, not yet at 99
    EXPECT_EQ(fired.Values(), std::vector<int>{2});

    AdvanceTo(99);
    ASSERT_TRUE(fired.WaitForCount(2));
    EXPECT_EQ(fired.Values(), (std::vector<int>{2, 1}));
    EXPECT_NE(BasekitLog().find("TimerManager flag inversion. now(50) < last(4294967290)."), std::string::npos);
}

TEST_F(Timers, TimersLeftBeforeTheWrapFireAsSoonAsTheWrapIsSeen)
{
    AdvanceTo(4294967200u);
    manager->startTimer(50, Arg(1), &Record);  // 4294967250
    manager->startTimer(90, Arg(2), &Record);  // 4294967290
    manager->startTimer(200, Arg(3), &Record); // 104 after the wrap
    AdvanceTo(10);                             // the tick jumped over all three expiries but one
    ASSERT_TRUE(fired.WaitForCount(2));
    EXPECT_EQ(fired.Values(), (std::vector<int>{1, 2}));
    AdvanceTo(104);
    ASSERT_TRUE(fired.WaitForCount(3));
    EXPECT_EQ(fired.Values(), (std::vector<int>{1, 2, 3}));
}

void Throw(void*)
{
    throw std::runtime_error("callback failed");
}

void ThrowOdd(void*)
{
    throw 5;
}

TEST_F(Timers, ACallbackThatThrowsIsLoggedAndTheNextOneStillRuns)
{
    manager->startTimer(5, nullptr, &Throw);
    manager->startTimer(6, nullptr, &ThrowOdd);
    manager->startTimer(7, Arg(9), &Record);
    AdvanceTo(1007);
    ASSERT_TRUE(fired.WaitForCount(1));
    const std::string log = BasekitLog();
    EXPECT_NE(log.find("TimerManager callback exception: callback failed"), std::string::npos);
    EXPECT_NE(log.find("TimerManager callback unknown error."), std::string::npos);
}

TimerManager* chained = nullptr;
void StartAnother(void*)
{
    // Runs without the manager's lock held, so it may start timers itself.
    chained->startTimer(0, Arg(2), &Record);
    Record(Arg(1));
}

TEST_F(Timers, ACallbackMayStartATimer)
{
    chained = manager;
    manager->startTimer(0, nullptr, &StartAnother);
    ASSERT_TRUE(fired.WaitForCount(2));
    EXPECT_EQ(fired.Values(), (std::vector<int>{1, 2}));
}

TEST_F(Timers, StopReportsThePendingTimersAndRefusesNewOnes)
{
    manager->startTimer(500, Arg(1), &Record);
    manager->startTimer(600, Arg(2), &Record);
    EXPECT_TRUE(TimerManager::stop());
    EXPECT_NE(BasekitLog().find("Timer manager stopped with 2 timers."), std::string::npos);
    EXPECT_EQ(manager->startTimer(10, Arg(3), &Record), 0u);
    EXPECT_FALSE(TimerManager::stop()); // already stopped
    EXPECT_TRUE(fired.Values().empty());
}

TEST_F(Timers, StartIsLogged)
{
    EXPECT_NE(BasekitLog().find("TimerManager starting with tick=1000"), std::string::npos);
}

} // namespace
