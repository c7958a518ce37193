// basekit::time: calendar time and ticks for the toolkit's users.
#include <ctime>
#include <sys/time.h>

#include "Basekit/KHostSystem.h"

namespace basekit {
namespace time {

namespace {

const size_t kFormatLimit = 2048; // up to 2047 characters and the terminator

kstring FormatTm(const tm& value, const char* pattern)
{
    char buffer[kFormatLimit];
    size_t length = strftime(buffer, sizeof(buffer), pattern ? pattern : "", &value);
    return kstring(buffer, length);
}

KSystemTime FromTm(const tm& value, unsigned millisecond)
{
    KSystemTime time;
    time.year = static_cast<uint16_t>(value.tm_year + 1900);
    time.month = static_cast<uint8_t>(value.tm_mon + 1);
    time.day = static_cast<uint8_t>(value.tm_mday);
    time.dayOfWeek = static_cast<uint8_t>(value.tm_wday);
    time.hour = static_cast<uint8_t>(value.tm_hour);
    time.minute = static_cast<uint8_t>(value.tm_min);
    time.second = static_cast<uint8_t>(value.tm_sec);
    time.millisecond = static_cast<uint16_t>(millisecond);
    return time;
}

} // namespace

unsigned UnixTime()
{
    return static_cast<unsigned>(::time(nullptr));
}

KSystemTime Now()
{
    timeval now{};
    gettimeofday(&now, nullptr);
    return Local(now.tv_sec, static_cast<unsigned>(now.tv_usec / 1000));
}

KSystemTime Local(time_t seconds, unsigned millisecond)
{
    tm local{};
    localtime_r(&seconds, &local);
    return FromTm(local, millisecond);
}

kstring Format(const char* pattern)
{
    return Format(UnixTime(), pattern);
}

kstring Format(const KSystemTime& time, const char* pattern)
{
    tm value{};
    value.tm_year = time.year - 1900;
    value.tm_mon = time.month - 1;
    value.tm_mday = time.day;
    value.tm_hour = time.hour;
    value.tm_min = time.minute;
    value.tm_sec = time.second;
    value.tm_isdst = -1;
    // Day of week, day of year and the zone come from the calendar, not from the caller,
    // since GetTime leaves dayOfWeek unset.
    tm normalised = value;
    if (mktime(&normalised) != static_cast<time_t>(-1)) {
        value.tm_wday = normalised.tm_wday;
        value.tm_yday = normalised.tm_yday;
        value.tm_isdst = normalised.tm_isdst;
        value.tm_gmtoff = normalised.tm_gmtoff;
        value.tm_zone = normalised.tm_zone;
    }
    return FormatTm(value, pattern);
}

kstring Format(unsigned seconds, const char* pattern)
{
    time_t when = static_cast<time_t>(seconds);
    tm local{};
    localtime_r(&when, &local);
    return FormatTm(local, pattern);
}

unsigned GetTick()
{
    return KHostSystem::GetTick();
}

void Delay(unsigned ms)
{
    KHostSystem::Delay(ms);
}

} // namespace time
} // namespace basekit
