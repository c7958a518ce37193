#include "Basekit/KCrashLogger.h"

#include <cstdio>

#include "Basekit/KHostSystem.h"
#include "Basekit/KLogClock.h"
#include "Basekit/KLogger.h"

KCrashLogger::KCrashLogger()
{
    KSystemTime now = KLogClock::Now();
    char program[1020];
    if (!KHostSystem::GetExeName(program, sizeof(program), false))
        program[0] = '\0';
    Text.Format("\n\n***** Varnel application error *****\n"
                "%02d/%02d/%04d - %02d:%02d:%02d.%03d\n"
                "PID: %d\n"
                "Program: %s\n"
                "Message:\n",
                now.day, now.month, now.year, now.hour, now.minute, now.second, now.millisecond,
                KHostSystem::GetCurrentProcId(), program);
}

void KCrashLogger::Log(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vLog(format, args);
    va_end(args);
}

void KCrashLogger::vLog(const char* format, va_list args)
{
    Text += "\t";
    Text.vAppendFormat(format, args);
    Text += "\n";
}

KCrashLogger::~KCrashLogger()
{
    if (Text.empty())
        return;
    std::string path = KLogger::GetLogDirectory() + "crash.log";
    FILE* file = fopen(path.c_str(), "a");
    if (!file) {
        SysLog(klError, Text.c_str());
        return;
    }
    // One put per record, so records of different threads never mix.
    bool ok = fputs(Text.c_str(), file) >= 0;
    if (fclose(file) != 0 || !ok)
        SysLog(klError, Text.c_str());
}
