#include "Basekit/KThreadLifetimes.h"

#include <future>

#include <gtest/gtest.h>

namespace {

using Kind = KThreadLifetimes::Kind;

// Threads that hold their tokens until the test lets them go.
struct Gate {
    std::promise<void> Open;
    std::shared_future<void> Opened = Open.get_future().share();
    KThreadLifetimes::Body Hold()
    {
        auto opened = Opened;
        return [opened](KThreadLifetimes::Token&) { opened.wait(); };
    }
};

TEST(KThreadLifetimesTest, CountsEachKindUntilItsThreadsEndAndWaitIdleHonoursTheDeadline)
{
    struct Case {
        const char* name;
        Kind kind;
        int threads;
        unsigned limit;
        int started; // Full for the rest
    };
    const Case cases[] = {
        {"servers, no limit", KThreadLifetimes::Server, 3, ~0u, 3},
        {"workers up to the limit", KThreadLifetimes::Worker, 4, 2, 2},
        {"limit 0 starts nothing", KThreadLifetimes::Starting, 1, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KThreadLifetimes lifetimes(false);
        Gate gate;
        int started = 0;
        for (int i = 0; i < c.threads; ++i) {
            KThreadLifetimes::Outcome outcome = lifetimes.Start(c.kind, gate.Hold(), c.limit);
            ASSERT_NE(outcome, KThreadLifetimes::Outcome::Failed);
            started += outcome == KThreadLifetimes::Outcome::Started;
        }
        EXPECT_EQ(started, c.started);
        EXPECT_EQ(lifetimes.Count(c.kind), c.started);
        EXPECT_EQ(lifetimes.Count({KThreadLifetimes::Server, KThreadLifetimes::Worker, KThreadLifetimes::Starting}),
                  c.started);
        // A deadline already past: answered at once, without waiting for the threads.
        EXPECT_EQ(lifetimes.WaitIdle(KThreadLifetimes::Clock::now()), c.started == 0);
        gate.Open.set_value();
        EXPECT_TRUE(lifetimes.WaitIdle(KThreadLifetimes::After(10000), {c.kind}));
        EXPECT_EQ(lifetimes.Count(c.kind), 0);
    }
}

TEST(KThreadLifetimesTest, ATokenCountsAsOneKindAtATimeAndOnceOnly)
{
    KThreadLifetimes lifetimes;
    KThreadLifetimes::Token token = lifetimes.Acquire(KThreadLifetimes::Starting);
    token.Become(KThreadLifetimes::Worker);
    EXPECT_EQ(lifetimes.Count(KThreadLifetimes::Starting), 0);
    EXPECT_EQ(lifetimes.Count(KThreadLifetimes::Worker), 1);
    KThreadLifetimes::Token moved = std::move(token);
    EXPECT_FALSE(token.Held());
    token.Release(); // an empty token counts nothing out
    EXPECT_EQ(lifetimes.Count(KThreadLifetimes::Worker), 1);
    EXPECT_FALSE(lifetimes.WaitIdle(KThreadLifetimes::After(1)));
    moved.Release();
    moved.Release();
    EXPECT_EQ(lifetimes.Count(KThreadLifetimes::Worker), 0);
    EXPECT_TRUE(lifetimes.WaitIdle(KThreadLifetimes::Clock::now()));
}

TEST(KThreadLifetimesTest, ServersStartOnceSeeTheStopAndAThrowingBodyStillCountsOut)
{
    KThreadLifetimes lifetimes(false);
    auto serve = [&lifetimes](KThreadLifetimes::Token&) {
        lifetimes.WaitUntil(KThreadLifetimes::After(10000), [&] { return !lifetimes.IsRunning(); });
    };
    ASSERT_EQ(lifetimes.StartServers({serve, serve, [](KThreadLifetimes::Token&) { throw 1; }}), 0);
    EXPECT_EQ(lifetimes.StartServers({serve}), 1); // already running: nothing started
    EXPECT_EQ(lifetimes.Stop(), 0);
    EXPECT_EQ(lifetimes.Stop(), 1);
    EXPECT_TRUE(lifetimes.WaitIdle(KThreadLifetimes::After(10000)));
}

} // namespace
