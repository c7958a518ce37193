#pragma once
// Host interface discovery and the netlink watch on IPv4 address changes.
#include <list>

#include "Tools/TAVO/KNETInterfaceEx.h"
#include "Tools/TAVO/KNetAddRestarter.h"

class KNETInterface {
public:
    // 0 on success, 1 when the interface table could not be read; out is cleared first.
    static int FindInterfaces(const std::list<kstring>& filter, std::list<KNETInterfaceEx>& out);
    static void StartAddressPolling(KNetAddRestarter* restarter);
    static void StopAddressPolling();
    static void* NAPollThread(void* restarter);
};
