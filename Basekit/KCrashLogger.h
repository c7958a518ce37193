#pragma once
// Collects one error record and appends it to crash.log when destroyed (the system log if
// the file cannot be opened), without going through the log manager.
#include <cstdarg>

#include "Basekit/kstring.h"

class KCrashLogger {
public:
    KCrashLogger();
    ~KCrashLogger();
    KCrashLogger(const KCrashLogger&) = delete;
    KCrashLogger& operator=(const KCrashLogger&) = delete;

    void Log(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void vLog(const char* format, va_list args);

private:
    kstring Text;
};
