#include "Basekit/kstring.h"

#include <cstdio>
#include <vector>

namespace basekit {

kstring& kstring::vAppendFormat(const char* format, va_list args)
{
    if (!format)
        return *this;
    char small[512];
    va_list copy;
    va_copy(copy, args);
    int needed = vsnprintf(small, sizeof(small), format, copy);
    va_end(copy);
    if (needed < 0)
        return *this;
    if (static_cast<size_t>(needed) < sizeof(small)) {
        append(small, static_cast<size_t>(needed));
        return *this;
    }
    std::vector<char> big(static_cast<size_t>(needed) + 1);
    vsnprintf(big.data(), big.size(), format, args);
    append(big.data(), static_cast<size_t>(needed));
    return *this;
}

kstring& kstring::vFormat(const char* format, va_list args)
{
    clear();
    return vAppendFormat(format, args);
}

kstring& kstring::Format(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vFormat(format, args);
    va_end(args);
    return *this;
}

kstring& kstring::AppendFormat(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vAppendFormat(format, args);
    va_end(args);
    return *this;
}

int kstring::sprintf(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vFormat(format, args);
    va_end(args);
    return static_cast<int>(size());
}

fstring::fstring(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vFormat(format, args);
    va_end(args);
}

} // namespace basekit
