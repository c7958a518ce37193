#pragma once
// One usable IPv4 host interface address, identified by the address itself.
#include "Basekit/kstring.h"

struct KNETInterfaceEx {
    kstring Address;   // dotted quad
    kstring NetMask;   // dotted quad
    kstring BroadCast; // dotted quad
};
