#pragma once
// Host interface discovery and the netlink watch on IPv4 address changes.
#include <atomic>
#include <cstddef>
#include <functional>
#include <list>

#include "Basekit/KLogger.h"
#include "Basekit/KThreadLifetimes.h"
#include "Tools/TAVO/KNETInterfaceEx.h"
#include "Tools/TAVO/KNetAddRestarter.h"

class KNETInterface {
public:
    // 0 on success, 1 when the interface table could not be read; out is cleared first.
    // Takes broadcast-capable IPv4 addresses (not loopback, not point-to-point, up or down);
    // a non-empty filter keeps only addresses whose text equals one of its entries.
    static int FindInterfaces(const std::list<kstring>& filter, std::list<KNETInterfaceEx>& out);
    // The start of a server with one receiving thread per interface running run(interface):
    // 5 for no interface, else threads.StartServers' result, and after a start the 250 ms
    // pause that lets every thread take its socket before the caller goes on.
    static int StartPerInterface(KThreadLifetimes& threads, const std::list<KNETInterfaceEx>& interfaces,
                                 const std::function<void(const KNETInterfaceEx&)>& run);
    // Starts the polling thread once; nothing when it is running or restarter is null. The
    // thread writes to log (the service's logger), which must outlive it.
    static void StartAddressPolling(KNetAddRestarter* restarter, KLogger& log);
    // Ends the polling thread: wakes it at once, pauses 750 ms, and waits (bounded) for its end.
    static void StopAddressPolling();
    // The polling thread's body; the argument is the KNetAddRestarter.
    static void* NAPollThread(void* restarter);

    // Walks the netlink messages of one datagram and calls restarter->Restart() for each IPv4
    // address added or removed. Returns the number of such messages.
    static unsigned int DispatchAddressMessages(const unsigned char* data, size_t length, KNetAddRestarter* restarter);

    // True while a polling thread is alive (from its start until it has ended).
    static bool IsPollThreadRunning();

    // Requested polling: set by StartAddressPolling, cleared by StopAddressPolling and by the
    // thread on every exit path.
    static std::atomic<bool> AddressPollingStarted;
};
