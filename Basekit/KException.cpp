#include "Basekit/KException.h"

namespace basekit {

KException::KException(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    Message.vFormat(format, args);
    va_end(args);
}

KException::KException(const char* file, int line, const char* format, ...) : File(file), Line(line)
{
    va_list args;
    va_start(args, format);
    Message.vFormat(format, args);
    va_end(args);
}

} // namespace basekit
