#pragma once
// The life-cycle log of threads (".running.log"), with process, kernel-thread and thread ids.
#include "Basekit/KLogger.h"

class KRunningLog {
public:
    static void Log(KLogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));
};
