#include "Basekit/KLogWriter.h"

void KLogWriter::FmtWrite(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    Write(format, args);
    va_end(args);
}
