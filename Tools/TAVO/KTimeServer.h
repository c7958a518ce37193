#pragma once
// Gives the configured boards the host's clock: a 4-byte datagram to the time port is
// answered with the 32-bit Time Protocol value (seconds since 1900, big-endian) in the
// host's timezone. One receiving thread per interface.
#include <atomic>
#include <cstdint>
#include <list>
#include <string>

#include "Basekit/KLogBudget.h"
#include "Basekit/KLogger.h"
#include "Basekit/KThreadMutex.h"
#include "Tools/TAVO/KBoardActivity.h"
#include "Tools/TAVO/KCounters.h"
#include "Tools/TAVO/KNETInterfaceEx.h"
#include "Basekit/KThreadLifetimes.h"

class KUDPSock;

class KTimeServer {
public:
    KTimeServer();
    // Stops the server and waits for its threads, which point back at this object.
    ~KTimeServer();
    KTimeServer(const KTimeServer&) = delete;
    KTimeServer& operator=(const KTimeServer&) = delete;

    // 0 started, 1 already running or a thread could not be started, 5 empty interface list.
    int Start(std::list<KNETInterfaceEx> interfaces, int port);
    // 0 if it was running, 1 if already stopped. Threads notice within 2 s.
    int Stop();
    // Stops if needed and waits (at most 6 s) for the server threads.
    void WaitTermination();
    bool IsRunning() const { return Threads.IsRunning(); }
    // The receive loops' heartbeat, moved at each turn (they wake at least every 2 s), and how
    // many loops run now: the service's watchdog expects only running loops to beat.
    uint64_t Heartbeat() const { return Beats.load(std::memory_order_relaxed); }
    int ReceiveLoops() { return Threads.Count(KThreadLifetimes::Server); }

    // The answer for a clock reading: seconds since 1970 plus 2208988800 minus the timezone
    // offset (seconds west of Greenwich), modulo 2^32.
    static uint32_t TimeValue(long long secondsSince1970, long long offsetWest);

    void ServerThread(KNETInterfaceEx iface);
    void ProcessRequest(KUDPSock* socket, std::string client, int port);

private:
    // A server thread's life: its loop, and what is logged when the loop fails.
    void RunServerThread(const KNETInterfaceEx& iface);

    basekit::KThreadMutex StateMutex;
    int Port = 0;
    KLogger Logger;
    // Lines that any sender can cause (the port is open to the LAN).
    KLogBudget Budget;
    // Every datagram: answered, or refused (unknown sender, wrong length, failed answer).
    KCounters& Counters = KCounters::Process();
    // The time answered is a boot's last step, for the operators' view of the boards.
    KBoardActivity& Activity = KBoardActivity::Process();
    std::atomic<uint64_t> Beats{0};
    KThreadLifetimes Threads;
};
