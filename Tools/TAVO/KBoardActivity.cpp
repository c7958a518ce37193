#include "Tools/TAVO/KBoardActivity.h"

#include <algorithm>

namespace {

const uint32_t BlockSize = 512;

double Age(KBoardActivity::Clock::time_point then, KBoardActivity::Clock::time_point now)
{
    if (then == KBoardActivity::Clock::time_point{})
        return -1;
    return std::chrono::duration<double>(now - then).count();
}

} // namespace

KBoardActivity& KBoardActivity::Process()
{
    static KBoardActivity activity;
    return activity;
}

const char* KBoardActivity::Name(Probe probe)
{
    switch (probe) {
    case Probe::Unknown: return "";
    case Probe::Free: return "free";
    case Probe::InUse: return "in-use";
    case Probe::NotMade: return "not-made";
    }
    return "";
}

const char* KBoardActivity::Name(KTFTPStatus status)
{
    switch (status) {
    case tsRequest: return "request";
    case tsSending: return "sending";
    case tsFinished: return "finished";
    case tsNoFileName: return "no-file-name";
    case tsBadRequest: return "bad-request";
    case tsFileNotFound: return "file-not-found";
    case tsReadError: return "read-error";
    case tsSendError: return "send-error";
    case tsAckTimeout: return "ack-timeout";
    case tsAckError: return "ack-error";
    case tsCancelled: return "cancelled";
    case tsServerError: return "server-error";
    }
    return "unknown";
}

void KBoardActivity::Strange(const std::string& key, const Row& shown, Clock::time_point now)
{
    // Linear in a handful of entries: cheaper than a second index, and a flood of forged senders
    // only turns the same few slots over.
    auto found = std::find_if(Strangers.begin(), Strangers.end(), [&](const Stranger& s) { return s.Key == key; });
    if (found != Strangers.end())
        Strangers.erase(found);
    else if (Strangers.size() >= MaxUnknown)
        Strangers.pop_back();
    Strangers.push_front(Stranger{key, shown, now});
}

void KBoardActivity::BootpRequest(unsigned serial, const std::string& mac, bool configured)
{
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(Mutex);
    if (!configured) {
        Row shown;
        shown.Serial = serial;
        shown.Mac = mac;
        shown.Phase = "bootp-request";
        Strange(mac, shown, now);
        return;
    }
    NotLookedAt.erase(serial);
    BootpState& board = Boards[serial];
    board.Mac = mac;
    board.Configured = true;
    board.Request = now;
    board.Last = Event{"bootp-request", now};
}

void KBoardActivity::BootpNotLookedAt(unsigned serial, const std::string& mac, const char* reason)
{
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(Mutex);
    auto board = Boards.find(serial);
    if (board != Boards.end()) {
        board->second.Request = now;
        board->second.Drop(reason, now);
        return;
    }
    if (NotLookedAt.size() >= MaxNotLookedAt)
        NotLookedAt.clear();
    Row shown;
    shown.Mac = mac;
    shown.Phase = "bootp-dropped";
    shown.LastError = reason;
    NotLookedAt[serial] = Stranger{mac, shown, now};
}

void KBoardActivity::BootpDropped(unsigned serial, const char* reason)
{
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(Mutex);
    auto board = Boards.find(serial);
    if (board == Boards.end()) {
        for (Stranger& s : Strangers)
            if (s.Shown.Serial == serial && !s.Shown.Mac.empty()) {
                s.Shown.Phase = "bootp-dropped";
                s.Shown.LastError = reason;
                break;
            }
        return;
    }
    board->second.Drop(reason, now);
}

void KBoardActivity::BootpAssigned(unsigned serial, const std::string& address, const std::string& interface)
{
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(Mutex);
    BootpState& board = Boards[serial];
    board.Address = address;
    board.Interface = interface;
    board.Last = Event{"bootp-address-assigned", now};
}

void KBoardActivity::BootpProbed(unsigned serial, Probe result)
{
    std::lock_guard<std::mutex> lock(Mutex);
    Boards[serial].ProbeResult = result;
}

void KBoardActivity::BootpReplied(unsigned serial, bool sent)
{
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(Mutex);
    BootpState& board = Boards[serial];
    board.Last = Event{sent ? "bootp-reply-sent" : "bootp-reply-failed", now};
    if (!sent) {
        board.Error = "reply-failed";
        board.ErrorAt = now;
        return;
    }
    board.Reply = now;
    if (!board.Address.empty())
        Served[board.Address].Replied = true;
}

std::shared_ptr<KBoardActivity::Progress> KBoardActivity::TftpAccepted(const std::string& address,
                                                                       const std::string& file)
{
    auto progress = std::make_shared<Progress>();
    std::lock_guard<std::mutex> lock(Mutex);
    AddressState& served = Served[address];
    served.File = file;
    served.Transfer = progress;
    served.Ended = Clock::time_point{};
    return progress;
}

void KBoardActivity::TftpPhase(const std::string& address, KTFTPStatus status)
{
    if (address.empty())
        return; // a server thread's own failure
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(Mutex);
    auto served = Served.find(address);
    if (served == Served.end()) {
        if (status != tsRequest)
            return;
        served = Served.emplace(address, AddressState()).first;
    }
    AddressState& state = served->second;
    // A transfer's end is its own phase's successor only: a board that had its last block
    // may have asked for the time before the transfer thread reports the end.
    const bool ends = status != tsRequest && status != tsSending;
    if (!ends || state.Last.Phase == "tftp-sending" || state.Last.Phase == "tftp-request")
        state.Last = Event{std::string("tftp-") + Name(status), now};
    if (status == tsRequest) {
        state.File.clear();
        state.Transfer.reset();
    } else if (ends && state.Ended == Clock::time_point{}) {
        state.Ended = now;
    }
    if (ends && status != tsFinished) {
        state.Error = Name(status);
        state.ErrorAt = now;
    }
}

void KBoardActivity::TftpRefused(const std::string& address, const char* reason, bool configured)
{
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(Mutex);
    if (!configured) {
        Row shown;
        shown.Address = address;
        shown.Phase = "tftp-refused";
        shown.LastError = reason;
        Strange(address, shown, now);
        return;
    }
    // A refused request (busy, say) leaves the phase of the transfer that holds the board.
    AddressState& state = Served[address];
    state.Error = reason;
    state.ErrorAt = now;
}

void KBoardActivity::TimeAnswered(const std::string& address)
{
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(Mutex);
    AddressState& state = Served[address];
    state.Last = Event{"time-answered", now};
    // The time is the last thing a booting board asks for.
    if (state.Replied) {
        state.Replied = false;
        ++state.Boots;
    }
}

void KBoardActivity::TimeRefused(const std::string& address)
{
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(Mutex);
    Row shown;
    shown.Address = address;
    shown.Phase = "time-refused";
    Strange(address, shown, now);
}

KBoardActivity::Row KBoardActivity::Join(unsigned serial, const std::string& address, Clock::time_point now) const
{
    Row row;
    row.Serial = serial;
    row.Configured = true;
    row.Address = address;
    Event last;
    std::string error;
    Clock::time_point errorAt{};
    auto board = Boards.find(serial);
    if (board != Boards.end()) {
        const BootpState& b = board->second;
        row.Mac = b.Mac;
        row.Interface = b.Interface;
        if (!b.Address.empty())
            row.Address = b.Address;
        row.RequestAge = Age(b.Request, now);
        row.ReplyAge = Age(b.Reply, now);
        row.ProbeResult = b.ProbeResult;
        last = b.Last;
        error = b.Error;
        errorAt = b.ErrorAt;
    } else if (auto early = NotLookedAt.find(serial); early != NotLookedAt.end()) {
        row.Mac = early->second.Shown.Mac;
        row.RequestAge = Age(early->second.Seen, now);
        last = Event{early->second.Shown.Phase, early->second.Seen};
        error = early->second.Shown.LastError;
        errorAt = early->second.Seen;
    }
    auto served = Served.find(row.Address);
    if (served != Served.end()) {
        const AddressState& s = served->second;
        if (s.Last.Seen() && (!last.Seen() || s.Last.At >= last.At))
            last = s.Last;
        if (!s.Error.empty() && (error.empty() || s.ErrorAt >= errorAt))
            error = s.Error;
        row.Boots = s.Boots;
        row.File = s.File;
        if (s.Transfer) {
            const Progress& p = *s.Transfer;
            row.HasTransfer = true;
            row.Block = p.Block.load(std::memory_order_relaxed);
            row.Size = p.Size.load(std::memory_order_relaxed);
            row.Blocks = static_cast<uint32_t>(row.Size / BlockSize + 1);
            const Clock::time_point end = s.Ended == Clock::time_point{} ? now : s.Ended;
            const double seconds = std::chrono::duration<double>(end - p.Started).count();
            if (seconds > 0)
                row.BytesPerSecond = static_cast<uint64_t>(p.Acknowledged.load(std::memory_order_relaxed) / seconds);
        }
    }
    row.Phase = last.Phase;
    row.PhaseAge = last.Seen() ? Age(last.At, now) : -1;
    row.LastError = error;
    return row;
}

std::vector<KBoardActivity::Row> KBoardActivity::Rows(const std::map<unsigned, std::string>& configured,
                                                      const std::set<unsigned>& replacements) const
{
    const Clock::time_point now = Clock::now();
    std::vector<Row> rows;
    std::lock_guard<std::mutex> lock(Mutex);
    rows.reserve(configured.size() + Strangers.size());
    for (const auto& board : configured)
        rows.push_back(Join(board.first, board.second, now));
    // Replacement boards are configured by their serial alone: shown once they have asked.
    for (const auto& board : Boards)
        if (!configured.count(board.first) && replacements.count(board.first))
            rows.push_back(Join(board.first, board.second.Address, now));
    for (const Stranger& s : Strangers) {
        if (now - s.Seen > UnknownKept)
            break;
        rows.push_back(s.Shown);
        rows.back().PhaseAge = Age(s.Seen, now);
    }
    return rows;
}

KBoardActivity::Summary KBoardActivity::Summarize() const
{
    const Clock::time_point now = Clock::now();
    Summary summary;
    // A failure is a drop other than the bound (which the board's next request gets past), a
    // reply that went nowhere, or a transfer's error.
    const auto count = [&](const Event& last, const std::string& error, unsigned boots) {
        summary.Booted += boots > 0 ? 1 : 0;
        if (!last.Seen() || last.Phase == "time-answered")
            return;
        const bool failed = last.Phase == "bootp-reply-failed" ||
                            (last.Phase == "bootp-dropped" && error != "max-threads") ||
                            (last.Phase.compare(0, 5, "tftp-") == 0 && last.Phase != "tftp-request" &&
                             last.Phase != "tftp-sending" && last.Phase != "tftp-finished");
        if (failed)
            ++summary.Failing;
        else if (now - last.At < BootingFor)
            ++summary.Booting;
    };
    std::lock_guard<std::mutex> lock(Mutex);
    std::set<std::string> joined;
    for (const auto& board : Boards) {
        const BootpState& b = board.second;
        auto served = b.Address.empty() ? Served.end() : Served.find(b.Address);
        if (served == Served.end()) {
            count(b.Last, b.Error, 0);
            continue;
        }
        joined.insert(b.Address);
        const AddressState& s = served->second;
        const bool later = s.Last.Seen() && (!b.Last.Seen() || s.Last.At >= b.Last.At);
        count(later ? s.Last : b.Last, later ? s.Error : b.Error, s.Boots);
    }
    // Boards that asked for files or the time only (their BOOTP came before this daemon started).
    for (const auto& served : Served)
        if (!joined.count(served.first))
            count(served.second.Last, served.second.Error, served.second.Boots);
    return summary;
}
