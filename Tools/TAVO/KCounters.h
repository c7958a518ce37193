#pragma once
// One counter for every decision the daemon makes about a datagram, a transfer or a reload,
// each with a stable name (bootp-received, tftp-refused-busy, ...) for the operators' tools.
// Relaxed atomics: a counter orders nothing, it only has to add up. Per datagram one add at
// most; a transfer adds its blocks' totals once, when it ends.
#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "Tools/TAVO/KBOOTPDecision.h"

class KCounters {
public:
    // Every reason KBOOTPDecision gives but None; AddressInUse is the last of them.
    static constexpr unsigned DropReasons = static_cast<unsigned>(KBOOTPDecision::Drop::AddressInUse);

    enum Counter : unsigned {
        BootpReceived,             // datagrams on the request and reply ports
        BootpReplied,              // replies that went out on at least one interface
        BootpDroppedFirst,         // one per KBOOTPDecision::Drop but None, in its order (Dropped)
        BootpDroppedMaxThreads = BootpDroppedFirst + DropReasons, // every request thread busy
        BootpDroppedThreadStart,   // no request thread could be started
        BootpDroppedException,     // the request thread failed with an exception
        BootpDroppedSendError,     // the reply went out on no interface
        TftpReceived,              // datagrams on the TFTP port
        TftpRefusedLimit,          // transfers above the limit
        TftpRefusedShort,          // too short to be a request
        TftpRefusedPort0,          // from source port 0
        TftpRefusedUnknown,        // not a configured board's address
        TftpRefusedBusy,           // the board already has a transfer
        TftpRefusedInvalidRequest, // not a read request
        TftpRefusedConfigUnavailable,
        TftpRefusedNoName,
        TftpRefusedNoMode,
        TftpRefusedMode,           // not octet
        TftpRefusedMalicious,      // the name leads out of the firmware directory
        TftpRefusedThreadStart,    // no transfer thread could be started
        TftpTransfersStarted,
        TftpTransfersCompleted,    // the last block was acknowledged
        TftpTransfersFailed,       // every other end: completed + failed = started once idle
        TftpBytesSent,             // data bytes of every DATA packet sent, retransmissions included
        TftpRetransmissions,       // DATA packets sent again
        TimeAnswered,
        TimeRefused,               // unknown sender, wrong length, or the answer could not be sent
        Count
    };

    KCounters();
    KCounters(const KCounters&) = delete;
    KCounters& operator=(const KCounters&) = delete;

    // The process's counters. A static rather than a member of the service: the configuration
    // reloader has no service object, the servers count across the service's restarts, and
    // tests drive servers without one.
    static KCounters& Process();

    static Counter Dropped(KBOOTPDecision::Drop reason); // reason is not None
    static std::string Name(Counter counter);

    void Add(Counter counter, uint64_t n = 1) { Values[counter].fetch_add(n, std::memory_order_relaxed); }
    uint64_t Value(Counter counter) const { return Values[counter].load(std::memory_order_relaxed); }
    // Every counter in the order of the enumeration, then log-lines-suppressed (KLogBudget),
    // reloads-ok and reloads-failed (KConfigReloader), which their own layers count.
    std::vector<std::pair<std::string, uint64_t>> Snapshot() const;

private:
    std::array<std::atomic<uint64_t>, Count> Values;
};
