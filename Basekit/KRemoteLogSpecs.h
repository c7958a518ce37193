#pragma once
// Where the log server is: RemoteLogHost (empty: write local log files) and RemoteLogPort,
// read from klog.cfg anywhere in the file.
#include <cstdint>

#include "Basekit/KThreadMutex.h"
#include "Basekit/kstring.h"

class KRemoteLogSpecs {
public:
    static const uint16_t DefaultPort = 14110;

    static KRemoteLogSpecs* Instance();
    // Reads klog.cfg until one read succeeds; a missing file keeps the defaults and the
    // next call tries again.
    void LoadValues();
    uint16_t RemoteLogPort();
    kstring RemoteLogHost();

private:
    KRemoteLogSpecs() = default;

    basekit::KThreadMutex Mutex; // guards the fields below
    bool NeedsLoading = true;
    uint16_t Port = DefaultPort;
    kstring Host;
};
