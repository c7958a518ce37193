#pragma once
// What every board is doing now, for the operators' `boards` view: the last BOOTP request and
// answer, the address probe, the current or last TFTP file with its progress, the phase the
// board is in, the boots it completed and its last error. Senders the devices file does not
// know are kept too, a few of them and for a few minutes, so that a stranger on the boot LAN
// can neither grow the table nor hide a board in it.
//
// The servers report events (one lock per request, never per block: a transfer's progress is
// a pair of relaxed atomics the transfer thread owns with the table); Rows joins them with
// the devices file as it is when asked.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "Tools/TAVO/KTFTPNotifier.h"

class KBoardActivity {
public:
    using Clock = std::chrono::steady_clock;

    enum class Probe { Unknown, Free, InUse, NotMade };

    // A transfer's progress, written by its thread alone.
    struct Progress {
        std::atomic<uint64_t> Size{0};         // bytes of the file, once it is open
        std::atomic<uint64_t> Acknowledged{0}; // data bytes the board acknowledged
        std::atomic<uint32_t> Block{0};        // blocks sent so far, 1 for the first (not wrapped)
        Clock::time_point Started = Clock::now();
    };

    // One board or unknown sender as shown; ages in seconds, negative when never seen.
    struct Row {
        unsigned Serial = 0; // 0: not known (a TFTP or time sender)
        std::string Mac, Address, Interface;
        bool Configured = false;
        std::string Phase; // empty: nothing seen since the daemon started
        double PhaseAge = -1, RequestAge = -1, ReplyAge = -1;
        Probe ProbeResult = Probe::Unknown;
        std::string File; // as requested, after the firmware name mapping
        uint32_t Block = 0, Blocks = 0;
        uint64_t Size = 0, BytesPerSecond = 0;
        bool HasTransfer = false;
        unsigned Boots = 0;
        std::string LastError;
    };

    static constexpr size_t MaxUnknown = 32;              // strangers kept at once
    static constexpr size_t MaxNotLookedAt = 4096;        // requests not looked up, by serial
    static constexpr std::chrono::minutes UnknownKept{10}; // and for how long they are shown

    static KBoardActivity& Process();
    static const char* Name(Probe probe);
    static const char* Name(KTFTPStatus status); // "request", "sending", ..., "ack-timeout"

    // BOOTP, keyed by serial; configured: the devices file knows the serial (or it replaces a board).
    void BootpRequest(unsigned serial, const std::string& mac, bool configured);
    // A request dropped before its board was looked up (every request thread busy): shown on
    // the row of a configured board, never as a stranger, as nobody knows what it is.
    void BootpNotLookedAt(unsigned serial, const std::string& mac, const char* reason);
    void BootpDropped(unsigned serial, const char* reason);
    void BootpAssigned(unsigned serial, const std::string& address, const std::string& interface);
    void BootpProbed(unsigned serial, Probe result);
    void BootpReplied(unsigned serial, bool sent);

    // TFTP and time, keyed by the sender's address.
    std::shared_ptr<Progress> TftpAccepted(const std::string& address, const std::string& file);
    void TftpPhase(const std::string& address, KTFTPStatus status);
    void TftpRefused(const std::string& address, const char* reason, bool configured);
    void TimeAnswered(const std::string& address);
    void TimeRefused(const std::string& address);

    // The boards as one line can tell them: those that completed a boot since the daemon
    // started, those on their way (a phase of the road, or waiting at the request-thread bound,
    // begun less than BootingFor ago) and those whose last step failed.
    struct Summary {
        size_t Booted = 0, Booting = 0, Failing = 0;
    };
    static constexpr std::chrono::minutes BootingFor{2};
    Summary Summarize() const;

    // Every configured board (serial -> configured address), the replacement boards that have
    // asked, then the strangers seen lately, newest first.
    std::vector<Row> Rows(const std::map<unsigned, std::string>& configured,
                          const std::set<unsigned>& replacements) const;

private:
    struct Event {
        std::string Phase;
        Clock::time_point At{};
        bool Seen() const { return !Phase.empty(); }
    };
    struct BootpState {
        std::string Mac, Address, Interface;
        bool Configured = false;
        Event Last;
        Clock::time_point Request{}, Reply{};
        Probe ProbeResult = Probe::Unknown;
        std::string Error;
        Clock::time_point ErrorAt{};
        void Drop(const char* reason, Clock::time_point now)
        {
            Last = Event{"bootp-dropped", now};
            Error = reason;
            ErrorAt = now;
        }
    };
    struct AddressState {
        Event Last;
        std::string File;
        std::shared_ptr<Progress> Transfer;
        Clock::time_point Ended{}; // the transfer's end: its rate stops there
        bool Replied = false; // a BOOTP reply named this address and no boot completed since
        unsigned Boots = 0;
        std::string Error;
        Clock::time_point ErrorAt{};
    };
    struct Stranger {
        std::string Key; // the MAC text of a BOOTP sender, else its address
        Row Shown;
        Clock::time_point Seen{};
    };

    void Strange(const std::string& key, const Row& shown, Clock::time_point now);
    Row Join(unsigned serial, const std::string& address, Clock::time_point now) const;

    mutable std::mutex Mutex;
    std::map<unsigned, BootpState> Boards;      // configured serials only: the devices file bounds it
    std::map<std::string, AddressState> Served; // configured addresses only
    std::deque<Stranger> Strangers;             // newest first, at most MaxUnknown
    // Serials whose requests were dropped unseen and that have no row of their own yet; anyone
    // can add to it, so it starts over when full rather than growing.
    std::map<unsigned, Stranger> NotLookedAt;
};
