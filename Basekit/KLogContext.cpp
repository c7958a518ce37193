#include "Basekit/KLogContext.h"

void KLogContext::Report(KLogLevel level, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vReport(level, format, args);
    va_end(args);
}
