#include "Basekit/KLogWriter.h"

#include <syslog.h>

void KLogWriter::FmtWrite(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    Write(format, args);
    va_end(args);
}

void SysLog(KLogLevel level, const char* text)
{
    static const int priorities[] = {LOG_ERR, LOG_WARNING, LOG_NOTICE, LOG_NOTICE, LOG_NOTICE};
    int priority = (level >= klError && level <= klTrace) ? priorities[level] : LOG_ERR;
    syslog(priority, "%s", text ? text : "");
}
