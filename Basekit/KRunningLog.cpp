#include "Basekit/KRunningLog.h"

#include <atomic>
#include <mutex>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

void KRunningLog::Log(KLogLevel level, const char* format, ...)
{
    // Created once, never destroyed: threads may report until the very end of the process.
    static std::once_flag once;
    static std::atomic<KLogger*> logger{nullptr};
    std::call_once(once, [] { logger = new KLogger(klsSystem, -1, "SWALKER", "running", 0x11, false); });
    KLogger* running = logger;
    if (!running->IsActive(level))
        return;
    kstring prefix;
    prefix.Format("|PID=%05d LWP=%05d TRD=%10u| ", static_cast<int>(getpid()), static_cast<int>(syscall(SYS_gettid)),
                  static_cast<unsigned>(pthread_self()));
    va_list args;
    va_start(args, format);
    running->CommitLine(level, prefix.c_str(), format, args);
    va_end(args);
}
