#include "Basekit/KCrashLogger.h"

#include <cstdio>
#include <unistd.h>

#include "Basekit/KFileLogWriter.h"
#include "Basekit/KHostSystem.h"
#include "Basekit/KLogClock.h"

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
    const std::string& directory = KFileLogWriter::LogDirectory();
    int fd = directory.empty() ? -1 : KFileLogWriter::OpenForAppend(directory + "crash.log");
    if (fd < 0) {
        SysLog(klError, Text.c_str());
        return;
    }
    // One write per record, so records of different threads never mix.
    bool ok = write(fd, Text.data(), Text.size()) == static_cast<ssize_t>(Text.size());
    if (close(fd) != 0 || !ok)
        SysLog(klError, Text.c_str());
}
