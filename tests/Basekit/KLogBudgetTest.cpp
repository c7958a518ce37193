// Log budget: burst and refill per source, the cap per message kind across sources, the bounded
// source table with its shared overflow, and summaries at most once a minute; on a driven tick.
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "Basekit/KLogBudget.h"
#include "tests/Basekit/LogTestSupport.h"

namespace {

const std::string File = "/var/log/varnel/budget.log";

// One step: advance the tick, then ask `times` times for (source, kind) and expect `allowed`
// of them to pass. A step without a source flushes and expects exactly `summaries` to be
// written, each as "<level letter>... | <text>".
struct Step {
    unsigned advanceMs;
    const char* source;
    const char* kind;
    unsigned times;
    unsigned allowed;
    std::vector<std::string> summaries = {};
    KLogLevel level = klNotice;
};

struct BudgetCase {
    const char* name;
    KLogBudget::Limits limits;
    std::vector<Step> steps;
};

KLogBudget::Limits Small(unsigned sourceBurst, unsigned kindBurst, unsigned maxSources, unsigned summaryLines)
{
    return {sourceBurst, 1000, kindBurst, 1000, maxSources, 8, 60000, summaryLines};
}

// The summary lines written to budget.log since `from` (its size before), as "<letter> <text>".
std::vector<std::string> WrittenSince(size_t from)
{
    std::vector<std::string> out;
    std::istringstream text(logtest::ReadFile(File).substr(from));
    for (std::string line; std::getline(text, line);)
        out.push_back(line.substr(0, 1) + " " + line.substr(line.find("| ") + 2));
    return out;
}

const BudgetCase Cases[] = {
    {"burst_then_one_per_period", Small(3, 100, 8, 4),
     {{0, "192.0.2.9", "x", 10, 3},
      {999, "192.0.2.9", "x", 5, 0},
      {1, "192.0.2.9", "x", 5, 1},
      {10000, "192.0.2.9", "x", 10, 3}, // credit is capped at the burst
      {0, "192.0.2.10", "x", 2, 2}}},   // other sources have their own bucket
    {"kind_capped_across_sources", Small(3, 5, 8, 4),
     {{0, "192.0.2.1", "x", 3, 3},
      {0, "192.0.2.2", "x", 3, 2},
      {0, "192.0.2.3", "x", 3, 0},
      {0, "192.0.2.4", "y", 3, 3}, // kinds are counted apart
      {2000, "192.0.2.3", "x", 3, 2}}},
    {"refused_line_costs_the_source_nothing", Small(2, 2, 8, 4),
     {{0, "192.0.2.1", "x", 2, 2},
      {0, "192.0.2.2", "x", 4, 0},   // kind exhausted
      {0, "192.0.2.2", "y", 2, 2}}}, // 192.0.2.2 still has its whole burst
    {"table_full_newcomers_share_one_entry_quiet_ones_make_room", Small(2, 100, 2, 1),
     {{0, "192.0.2.1", "x", 1, 1},
      {0, "192.0.2.2", "x", 1, 1},
      {0, "192.0.2.3", "x", 5, 2},   // table full: the overflow entry's burst
      {0, "192.0.2.4", "x", 5, 0},   // shares the overflow, already spent
      {500, "192.0.2.5", "x", 5, 0}, // .2 quiet for less than a period: overflow (half a line of credit)
      {500, "192.0.2.1", "x", 1, 1},
      {0, "192.0.2.6", "x", 5, 2},   // .2 quiet for a period: it goes, .6 gets a whole burst
      {0, nullptr, nullptr, 0, 0, {"N 3 similar lines from 192.0.2.6 suppressed",
                                   "N 13 similar lines from other sources suppressed"}}}},
    {"summary_at_most_once_a_minute_at_the_worst_level", Small(1, 100, 8, 4),
     {{0, nullptr, nullptr, 0, 0, {}}, // nothing suppressed, nothing written
      {0, "0A:3D:91:00:00:07", "ident", 3, 1, {}, klError},
      {0, "192.0.2.8", "x", 2, 1, {}, klTrace},
      {0, "192.0.2.9", "x", 3, 1, {}, klWarning},
      {0, nullptr, nullptr, 0, 0, {"E 2 similar lines from 0A:3D:91:00:00:07 suppressed",
                                   "W 2 similar lines from 192.0.2.9 suppressed",
                                   "T 1 similar lines from 192.0.2.8 suppressed"}},
      {100, "192.0.2.9", "x", 4, 0, {}, klWarning},
      {59899, nullptr, nullptr, 0, 0, {}},
      {1, nullptr, nullptr, 0, 0, {"W 4 similar lines from 192.0.2.9 suppressed"}},
      {0, nullptr, nullptr, 0, 0, {}}}},
};

TEST(Budget, WritesWhatTheBucketsAllowAndSummarisesTheRest)
{
    // Summaries of Trace lines are Trace lines, written only when enabled.
    logtest::Begin("[TAVO]\nValue=true\nGeneral=true\n");
    KLogger log(klsTAVO, kloTavoGeneral, "Budget", "budget", 0x10, false);
    for (const BudgetCase& c : Cases) {
        SCOPED_TRACE(c.name);
        testkit::FakeTick tick(4294960000u); // close to the 32-bit wrap, which the steps cross
        KLogBudget budget(c.limits);
        const unsigned long long totalBefore = KLogBudget::TotalSuppressed();
        unsigned long long refused = 0;
        for (size_t i = 0; i < c.steps.size(); ++i) {
            const Step& step = c.steps[i];
            tick.Advance(step.advanceMs);
            if (!step.source) {
                const size_t before = logtest::ReadFile(File).size();
                budget.Flush(log);
                EXPECT_EQ(WrittenSince(before), step.summaries) << "step " << i;
                continue;
            }
            unsigned allowed = 0;
            for (unsigned n = 0; n < step.times; ++n)
                allowed += budget.Allow(step.source, step.kind, step.level) ? 1 : 0;
            EXPECT_EQ(allowed, step.allowed) << "step " << i << " " << step.source;
            refused += step.times - allowed;
        }
        EXPECT_EQ(budget.Suppressed(), refused);
        EXPECT_EQ(KLogBudget::TotalSuppressed() - totalBefore, refused);
    }
}

TEST(BudgetThreads, ConcurrentCallersShareOneBurstExactly)
{
    testkit::FakeTick tick(1000); // frozen: no refill
    KLogBudget budget(Small(20, 1000, 8, 4));
    std::atomic<unsigned> allowed {0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int n = 0; n < 2000; ++n)
                if (budget.Allow("192.0.2.1", "x"))
                    ++allowed;
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(allowed.load(), 20u);
    EXPECT_EQ(budget.Suppressed(), 8000u - 20u);
}

} // namespace
