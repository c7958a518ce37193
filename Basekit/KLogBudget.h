#pragma once
// How many log lines untrusted traffic may cause. Anyone on the LAN can send datagrams, and UDP
// source addresses are trivially forged, so a line caused by a datagram from an unknown host, or
// with content the daemon refuses, must not cost the host its disk. Each line passes two token
// buckets: one per source (a burst, then one line per refill period) and one per message kind
// across all sources (which bounds a spoofer who changes the address for every datagram).
// Refused lines are counted; Flush reports them as summary lines, at most one pass a minute.
//
// How a server uses it:
//     if (Budget.Allow(client, "not in list"))        // per line that untrusted traffic causes
//         Logger.Notice("Machine requesting file is not in list (%s)", client.c_str());
//     ...
//     Budget.Flush(Logger);                           // on every pass of the receive loop
// Lines of configured boards do not go through a budget: they are never suppressed.
//
// Thread-safe. Flush costs one atomic load while nothing is waiting to be reported.
#include <atomic>
#include <map>
#include <mutex>
#include <string>

#include "Basekit/KLogger.h"

class KLogBudget {
public:
    struct Limits {
        unsigned SourceBurst = 20;      // lines one source may cause at once
        unsigned SourceRefillMs = 1000; // then one more line per period
        unsigned KindBurst = 20;        // lines of one kind, all sources together
        unsigned KindRefillMs = 5000;
        unsigned MaxSources = 256;      // sources tracked one by one; the rest share one entry
        unsigned MaxKinds = 64;
        unsigned SummaryMs = 60000;     // at most one summary pass per period
        unsigned SummaryLines = 4;      // sources named in a pass; the others share one line
    };

    KLogBudget();
    explicit KLogBudget(const Limits& limits);
    KLogBudget(const KLogBudget&) = delete;
    KLogBudget& operator=(const KLogBudget&) = delete;

    // True: write the line now. False: it is counted for the next summary instead. level is
    // the level of the line in question; a summary is written at the most severe level it covers.
    bool Allow(const std::string& source, const char* kind, KLogLevel level = klNotice);

    // Writes the summaries that are due through logger, at the level of the lines they stand
    // for: "%u similar lines from %s suppressed".
    void Flush(KLogger& logger);

    // Lines refused by this budget since it was made, and by all budgets of the process.
    unsigned long long Suppressed() const;
    static unsigned long long TotalSuppressed();

private:
    struct Bucket {
        unsigned long long Tokens = 0; // milliseconds of credit
        unsigned Last = 0;             // tick of the last refill
    };
    struct Source {
        Bucket Budget;
        unsigned LastSeen = 0;
        unsigned Pending = 0; // refused since the last summary
        KLogLevel Worst = klTrace;
    };

    static void Refill(Bucket& bucket, unsigned burst, unsigned refillMs, unsigned now);
    Source& FindSource(const std::string& source, unsigned now);
    Bucket& FindKind(const std::string& kind, unsigned now);

    const Limits Rules;

    mutable std::mutex Mutex; // guards everything below
    std::map<std::string, Source> Sources;
    Source Others;            // sources beyond MaxSources
    std::map<std::string, Bucket> Kinds;
    Bucket OtherKinds;
    bool Summarised = false;  // a summary pass was made; LastSummary is its tick
    unsigned LastSummary = 0;
    unsigned long long Refused = 0;

    std::atomic<unsigned> Waiting {0}; // lines refused and not yet summarised
    static std::atomic<unsigned long long> AllRefused;
};
