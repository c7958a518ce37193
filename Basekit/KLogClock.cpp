#include "Basekit/KLogClock.h"

#include <atomic>

namespace {
std::atomic<KLogClock::Source> CurrentSource{nullptr};
} // namespace

void KLogClock::SetSource(Source source)
{
    CurrentSource = source;
}

timespec KLogClock::Read()
{
    timespec now = {0, 0};
    Source source = CurrentSource;
    if (source)
        source(&now);
    else
        clock_gettime(CLOCK_REALTIME, &now);
    return now;
}

KSystemTime KLogClock::Now()
{
    timespec now = Read();
    tm local;
    localtime_r(&now.tv_sec, &local);
    KSystemTime time;
    time.year = static_cast<uint16_t>(local.tm_year + 1900);
    time.month = static_cast<uint8_t>(local.tm_mon + 1);
    time.day = static_cast<uint8_t>(local.tm_mday);
    time.dayOfWeek = static_cast<uint8_t>(local.tm_wday);
    time.hour = static_cast<uint8_t>(local.tm_hour);
    time.minute = static_cast<uint8_t>(local.tm_min);
    time.second = static_cast<uint8_t>(local.tm_sec);
    time.millisecond = static_cast<uint16_t>(now.tv_nsec / 1000000);
    return time;
}

time_t KLogClock::Seconds()
{
    return Read().tv_sec;
}

kstring KLogClock::Format(const char* pattern)
{
    time_t seconds = Seconds();
    tm local;
    localtime_r(&seconds, &local);
    char text[256];
    size_t length = strftime(text, sizeof(text), pattern, &local);
    return kstring(text, length);
}
