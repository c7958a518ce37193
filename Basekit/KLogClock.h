#pragma once
// The wall clock of the logging framework (line headers, day banners, file names, the
// pause after a write error). Tests replace it to cross midnight or a 30-second pause
// without waiting.
#include <ctime>

#include "Basekit/KHostSystem.h"
#include "Basekit/kstring.h"

class KLogClock {
public:
    typedef void (*Source)(timespec* now);

    // nullptr restores the real-time clock.
    static void SetSource(Source source);
    static timespec Read();
    static KSystemTime Now();
    static time_t Seconds();
    // The local time now formatted with strftime.
    static kstring Format(const char* pattern);
};
