#include "Tools/TAVO/KCounters.h"

#include "Basekit/KLogBudget.h"
#include "Tools/TAVO/KConfigReloader.h"

namespace {

// The names after the BOOTP drop reasons', in the order of the enumeration.
const char* const Names[] = {
    "bootp-dropped-max-threads",
    "bootp-dropped-thread-start",
    "bootp-dropped-exception",
    "bootp-dropped-send-error",
    "tftp-received",
    "tftp-refused-limit",
    "tftp-refused-short",
    "tftp-refused-port0",
    "tftp-refused-unknown",
    "tftp-refused-busy",
    "tftp-refused-invalid-request",
    "tftp-refused-config-unavailable",
    "tftp-refused-no-name",
    "tftp-refused-no-mode",
    "tftp-refused-mode",
    "tftp-refused-malicious",
    "tftp-refused-thread-start",
    "tftp-transfers-started",
    "tftp-transfers-completed",
    "tftp-transfers-failed",
    "tftp-bytes-sent",
    "tftp-retransmissions",
    "time-answered",
    "time-refused",
};
static_assert(sizeof Names / sizeof Names[0] == KCounters::Count - KCounters::BootpDroppedMaxThreads,
              "one name per counter");

} // namespace

KCounters::KCounters()
{
    for (std::atomic<uint64_t>& value : Values)
        value.store(0, std::memory_order_relaxed);
}

KCounters& KCounters::Process()
{
    static KCounters counters;
    return counters;
}

KCounters::Counter KCounters::Dropped(KBOOTPDecision::Drop reason)
{
    return static_cast<Counter>(BootpDroppedFirst + static_cast<unsigned>(reason) - 1);
}

std::string KCounters::Name(Counter counter)
{
    switch (counter) {
    case BootpReceived: return "bootp-received";
    case BootpReplied: return "bootp-replied";
    default: break;
    }
    if (counter < BootpDroppedMaxThreads) {
        const auto reason = static_cast<KBOOTPDecision::Drop>(counter - BootpDroppedFirst + 1);
        return std::string("bootp-dropped-") + KBOOTPDecision::Name(reason);
    }
    return counter < Count ? Names[counter - BootpDroppedMaxThreads] : "unknown";
}

std::vector<std::pair<std::string, uint64_t>> KCounters::Snapshot() const
{
    std::vector<std::pair<std::string, uint64_t>> values;
    values.reserve(Count + 3);
    for (unsigned counter = 0; counter < Count; ++counter)
        values.emplace_back(Name(static_cast<Counter>(counter)), Values[counter].load(std::memory_order_relaxed));
    values.emplace_back("log-lines-suppressed", KLogBudget::TotalSuppressed());
    values.emplace_back("reloads-ok", config::KConfigReloader::ReloadsOk());
    values.emplace_back("reloads-failed", config::KConfigReloader::ReloadsFailed());
    return values;
}
