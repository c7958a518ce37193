#include "Basekit/KLogBudget.h"

#include <algorithm>
#include <vector>

#include "Basekit/KHostSystem.h"

std::atomic<unsigned long long> KLogBudget::AllRefused {0};

namespace {

// Source texts come from the wire (addresses, hardware addresses); the key stays short whatever
// a caller passes.
const size_t MaxSourceText = 64;

// A bucket counts milliseconds of credit: full is burst × period, a line costs one period and
// every elapsed millisecond adds one, so refilling needs no fractions.
unsigned long long Capacity(unsigned burst, unsigned refillMs)
{
    return static_cast<unsigned long long>(burst) * refillMs;
}

} // namespace

KLogBudget::KLogBudget() : KLogBudget(Limits()) {}

KLogBudget::KLogBudget(const Limits& limits) : Rules(limits)
{
    const unsigned now = KHostSystem::GetTick();
    Others.Budget = Bucket {Capacity(Rules.SourceBurst, Rules.SourceRefillMs), now};
    Others.LastSeen = now;
    OtherKinds = Bucket {Capacity(Rules.KindBurst, Rules.KindRefillMs), now};
}

void KLogBudget::Refill(Bucket& bucket, unsigned burst, unsigned refillMs, unsigned now)
{
    // Unsigned difference: right across the tick's 32-bit wrap.
    const unsigned elapsed = now - bucket.Last;
    bucket.Last = now;
    bucket.Tokens = std::min(bucket.Tokens + elapsed, Capacity(burst, refillMs));
}

KLogBudget::Source& KLogBudget::FindSource(const std::string& text, unsigned now)
{
    const std::string key = text.substr(0, MaxSourceText);
    auto found = Sources.find(key);
    if (found != Sources.end())
        return found->second;
    if (Sources.size() >= Rules.MaxSources) {
        // The stalest source makes room once it has been quiet for a refill period (its count
        // moves to the overflow's). While every entry is busier than that, which takes a
        // spoofer with hundreds of addresses a second, newcomers share the one entry of the
        // overflow: the table never grows, and the kind buckets still bound what is written.
        auto stalest = Sources.end();
        for (auto entry = Sources.begin(); entry != Sources.end(); ++entry)
            if (stalest == Sources.end() || now - entry->second.LastSeen > now - stalest->second.LastSeen)
                stalest = entry;
        if (stalest == Sources.end() || now - stalest->second.LastSeen < Rules.SourceRefillMs)
            return Others;
        Others.Pending += stalest->second.Pending;
        Others.Worst = std::min(Others.Worst, stalest->second.Worst);
        Sources.erase(stalest);
    }
    Source& fresh = Sources[key];
    fresh.Budget = Bucket {Capacity(Rules.SourceBurst, Rules.SourceRefillMs), now};
    fresh.LastSeen = now;
    return fresh;
}

KLogBudget::Bucket& KLogBudget::FindKind(const std::string& kind, unsigned now)
{
    auto found = Kinds.find(kind);
    if (found != Kinds.end())
        return found->second;
    if (Kinds.size() >= Rules.MaxKinds)
        return OtherKinds;
    return Kinds[kind] = Bucket {Capacity(Rules.KindBurst, Rules.KindRefillMs), now};
}

bool KLogBudget::Allow(const std::string& source, const char* kind, KLogLevel level)
{
    std::lock_guard<std::mutex> lock(Mutex);
    const unsigned now = KHostSystem::GetTick();
    Source& from = FindSource(source, now);
    Bucket& sort = FindKind(kind ? kind : "", now);
    from.LastSeen = now;
    Refill(from.Budget, Rules.SourceBurst, Rules.SourceRefillMs, now);
    Refill(sort, Rules.KindBurst, Rules.KindRefillMs, now);
    // Both must have credit; a refused line costs neither, so a source that is quiet for the
    // kind's sake keeps its own burst.
    if (from.Budget.Tokens >= Rules.SourceRefillMs && sort.Tokens >= Rules.KindRefillMs) {
        from.Budget.Tokens -= Rules.SourceRefillMs;
        sort.Tokens -= Rules.KindRefillMs;
        return true;
    }
    ++from.Pending;
    from.Worst = std::min(from.Worst, level);
    ++Refused;
    AllRefused.fetch_add(1, std::memory_order_relaxed); // a total to read, ordering nothing
    ++Waiting;
    return false;
}

void KLogBudget::Flush(KLogger& logger)
{
    if (Waiting.load() == 0)
        return;
    struct Line {
        unsigned Count;
        KLogLevel Level;
        std::string From;
    };
    std::vector<Line> lines;
    {
        std::lock_guard<std::mutex> lock(Mutex);
        const unsigned now = KHostSystem::GetTick();
        if (Summarised && now - LastSummary < Rules.SummaryMs)
            return;
        Summarised = true;
        LastSummary = now;
        Waiting = 0;
        for (auto& entry : Sources) {
            if (entry.second.Pending == 0)
                continue;
            lines.push_back(Line {entry.second.Pending, entry.second.Worst, entry.first});
            entry.second.Pending = 0;
            entry.second.Worst = klTrace;
        }
        // The loudest sources are named; the rest join the overflow's line, so that one pass
        // writes a bounded number of lines however many addresses a spoofer used.
        std::stable_sort(lines.begin(), lines.end(), [](const Line& a, const Line& b) { return a.Count > b.Count; });
        Line rest {Others.Pending, Others.Worst, "other sources"};
        Others.Pending = 0;
        Others.Worst = klTrace;
        for (size_t i = Rules.SummaryLines; i < lines.size(); ++i) {
            rest.Count += lines[i].Count;
            rest.Level = std::min(rest.Level, lines[i].Level);
        }
        if (lines.size() > Rules.SummaryLines)
            lines.resize(Rules.SummaryLines);
        if (rest.Count > 0)
            lines.push_back(rest);
    }
    // Written without the lock: request threads asking Allow do not wait for the log file.
    for (const Line& line : lines)
        logger.Log(line.Level, "%u similar lines from %s suppressed", line.Count, line.From.c_str());
}

unsigned long long KLogBudget::Suppressed() const
{
    std::lock_guard<std::mutex> lock(Mutex);
    return Refused;
}

unsigned long long KLogBudget::TotalSuppressed()
{
    return AllRefused.load(std::memory_order_relaxed);
}
