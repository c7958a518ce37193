#pragma once
// The configuration framework's loggers: CONFIG for its messages, and the CFG-OPT logger
// whose option bit ("OptionalValues") lets klog.cfg switch the optional-key messages on.
#include "Basekit/KLogger.h"

namespace config {

class KConfLog {
public:
    static KLogger ConfigLog;

    // One Trace line on a CFG-OPT logger made for that line.
    static void OptionalTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));
};

} // namespace config
