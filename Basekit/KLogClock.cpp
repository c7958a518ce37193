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
    return basekit::time::Local(now.tv_sec, static_cast<unsigned>(now.tv_nsec / 1000000));
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
