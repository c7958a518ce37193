#include "Basekit/KLogger.h"

#include <atomic>
#include <mutex>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "Basekit/KFileLogWriter.h"
#include "Basekit/KHostSystem.h"
#include "Basekit/KLogBuilder.h"
#include "Basekit/KLogFilter.h"
#include "Basekit/KLogManager.h"
#include "Basekit/KRemoteLogClient.h"

namespace {

// The running log ("<program>.running.log", name SWALKER): the host layer's thread life-cycle
// lines, with process, kernel-thread and thread ids.
void RunningLogLine(KLogLevel level, const char* text)
{
    // Created once, never destroyed: threads may report until the very end of the process.
    static std::once_flag once;
    static std::atomic<KLogger*> logger{nullptr};
    std::call_once(once, [] { logger = new KLogger(klsSystem, -1, "SWALKER", "running", 0x11, false); });
    KLogger* running = logger;
    if (!running->IsActive(level))
        return;
    kstring line;
    line.Format("|PID=%05d LWP=%05d TRD=%10u| %s", static_cast<int>(getpid()), static_cast<int>(syscall(SYS_gettid)),
                static_cast<unsigned>(pthread_self()), text);
    running->Log(level, line);
}

// Every way in from the loggers passes here, so the first wires the layers below before the
// manager exists: which manager to make, and where the host layer's thread lines go.
KLogManager* Manager()
{
    static const bool wired = [] {
        KLogManager::SetFactory(&KRemoteLogClient::CreateIfConfigured);
        KHostSystem::SetThreadReportHandler(&RunningLogLine);
        return true;
    }();
    (void)wired;
    return KLogManager::GetMe(false);
}

unsigned long long FilterSize(bool total)
{
    KLogManager* manager = Manager();
    KLogFilter* filter = manager ? manager->Filter() : nullptr;
    if (!filter)
        return total ? KLOG_DEFAULT_MAX_TOTAL_LOG_SIZE : KLOG_DEFAULT_MAX_FILE_SIZE;
    return total ? filter->MaxTotalLogSize() : filter->MaxLogFileSize();
}

} // namespace

KLogger::KLogger(KLogSource source, int option, const char* name, const char* file, int flags, bool lazyTraceFlush)
    : LoggerName(name), ShowNameField((flags & 0x10) != 0), LazyFlush(lazyTraceFlush), LogSource(source),
      LogOption(option)
{
    kstring fileName;
    if (file) {
        fileName = file;
        int pid = KHostSystem::GetCurrentProcId();
        if (flags & 0x01) {
            char exe[255];
            if (KHostSystem::GetExeName(exe, sizeof(exe), false))
                fileName.Format("%s.%s", exe, file);
            else
                fileName.Format("unknownprocess-%d.%s", pid, file);
        }
        if (flags & 0x04) {
            KSystemTime start;
            GetStartTime(start);
            fileName.AppendFormat(".%04d%02d%02d.%02d%02d%02d", start.year, start.month, start.day, start.hour,
                                  start.minute, start.second);
        }
        if (flags & 0x02)
            fileName.AppendFormat(".pid%d", pid);
    }
    KLogManager* manager = Manager();
    if (manager)
        LogWriter = manager->GetWriter(file ? fileName.c_str() : nullptr);
    KLogManager::NotifyLoggerCreation();
}

KLogger::~KLogger()
{
    KLogManager::NotifyLoggerDestruction();
}

bool KLogger::IsActive(KLogLevel level) const
{
    KLogManager* manager = Manager();
    if (!manager)
        return false;
    KLogFilter* filter = manager->Filter();
    return !filter || filter->IsActive(level, LogSource, static_cast<unsigned>(LogOption));
}

void KLogger::vLogPrefixed(KLogLevel level, const char* prefix, const char* format, va_list args)
{
    if (IsActive(level))
        CommitLine(level, prefix, format, args);
}

void KLogger::CommitLine(KLogLevel level, const char* prefix, const char* format, va_list args)
{
    KLogBuilder line(LogWriter, KLogManager::Current(), level, ShowNameField ? LoggerName.c_str() : nullptr, LazyFlush);
    line.Message() = prefix;
    line.Message().vAppendFormat(format, args);
}

void KLogger::LogText(KLogLevel level, const kstring& text, bool binary)
{
    if (!IsActive(level))
        return;
    KLogBuilder line(LogWriter, KLogManager::Current(), level, ShowNameField ? LoggerName.c_str() : nullptr, LazyFlush,
                     binary);
    line.Message() = text;
}

void KLogger::vLog(KLogLevel level, const char* format, va_list args)
{
    vLogPrefixed(level, "| ", format, args);
}

#define KLOGGER_FORWARD(level)                                                                                        \
    va_list args;                                                                                                     \
    va_start(args, format);                                                                                           \
    vLog(level, format, args);                                                                                        \
    va_end(args)

void KLogger::Error(const char* format, ...)
{
    KLOGGER_FORWARD(klError);
}

void KLogger::Warning(const char* format, ...)
{
    KLOGGER_FORWARD(klWarning);
}

void KLogger::Info(const char* format, ...)
{
    KLOGGER_FORWARD(klInfo);
}

void KLogger::Notice(const char* format, ...)
{
    KLOGGER_FORWARD(klNotice);
}

void KLogger::Trace(const char* format, ...)
{
    KLOGGER_FORWARD(klTrace);
}

void KLogger::Log(KLogLevel level, const char* format, ...)
{
    KLOGGER_FORWARD(level);
}

#undef KLOGGER_FORWARD

void KLogger::Log(KLogLevel level, const kstring& text)
{
    LogText(level, text, false);
}

void KLogger::LogBinary(KLogLevel level, const kstring& text)
{
    LogText(level, text, true);
}

// The prefix is built only for lines that pass the filter.
#define KLOGGER_PREFIXED(...)                                                                                         \
    if (!IsActive(level))                                                                                             \
        return;                                                                                                       \
    kstring prefix;                                                                                                   \
    prefix.Format(__VA_ARGS__);                                                                                       \
    va_list args;                                                                                                     \
    va_start(args, format);                                                                                           \
    CommitLine(level, prefix.c_str(), format, args);                                                                  \
    va_end(args)

void KLogger::LogDev(KLogLevel level, int device, const char* format, ...)
{
    KLOGGER_PREFIXED("|D%0*d| ", LOG_DEVICE_WIDTH, device);
}

void KLogger::vLogDev(KLogLevel level, int device, const char* format, va_list args)
{
    if (IsActive(level))
        CommitLine(level, fstring("|D%0*d| ", LOG_DEVICE_WIDTH, device).c_str(), format, args);
}

void KLogger::LogChannel(KLogLevel level, int device, int channel, const char* format, ...)
{
    KLOGGER_PREFIXED("|D%0*d C%0*d| ", LOG_DEVICE_WIDTH, device, LOG_CHANNEL_WIDTH, channel);
}

void KLogger::LogChanAndCall(KLogLevel level, int device, int channel, int call, const char* format, ...)
{
    KLOGGER_PREFIXED("|D%0*d C%0*d K%d| ", LOG_DEVICE_WIDTH, device, LOG_CHANNEL_WIDTH, channel, call);
}

void KLogger::LogCall(KLogLevel level, int call, const char* format, ...)
{
    KLOGGER_PREFIXED("|K%d| ", call);
}

void KLogger::LogDsp(KLogLevel level, int device, int dsp, const char* format, ...)
{
    KLOGGER_PREFIXED("|D%0*d P%c| ", LOG_DEVICE_WIDTH, device, 'A' + dsp);
}

void KLogger::LogLink(KLogLevel level, int device, int link, const char* format, ...)
{
    KLOGGER_PREFIXED("|D%0*d L%d| ", LOG_DEVICE_WIDTH, device, link);
}

void KLogger::LogLinkAndCall(KLogLevel level, unsigned device, unsigned link, int call, const char* format, ...)
{
    KLOGGER_PREFIXED("|D%0*u L%u K%d| ", LOG_DEVICE_WIDTH, device, link, call);
}

void KLogger::LogNai(KLogLevel level, unsigned nai, const char* format, ...)
{
    KLOGGER_PREFIXED("|N%d| ", nai);
}

void KLogger::LogNaiAndCall(KLogLevel level, unsigned nai, int call, const char* format, ...)
{
    KLOGGER_PREFIXED("|N%d K%d| ", nai, call);
}

#undef KLOGGER_PREFIXED

bool KLogger::IsOptionActive(KLogSource source, unsigned option)
{
    if (source < 0 || source > klsMaxSources) {
        InternalLog(klNotice, "IsOptionActive( %d, %d ) - invalid parameter", source, option);
        return false;
    }
    KLogManager* manager = Manager();
    if (!manager)
        return false;
    KLogFilter* filter = manager->Filter();
    return !filter || filter->IsActive(klTrace, source, option);
}

int KLogger::GetConfig(KLogSource source)
{
    if (source < 0 || source > klsMaxSources) {
        InternalLog(klNotice, "GetConfig( %d ) - invalid parameter", source);
        return 0;
    }
    KLogManager* manager = Manager();
    KLogFilter* filter = manager ? manager->Filter() : nullptr;
    if (!filter)
        return 0;
    if (filter->FullLog())
        return -1;
    return static_cast<int>(filter->OptionMask(source));
}

void KLogger::OverwriteOption(KLogSource source, unsigned mask)
{
    KLogManager* manager = Manager();
    if (manager && manager->Filter())
        manager->Filter()->OverwriteOption(source, mask);
}

void KLogger::ReleaseOverwrittenOption(KLogSource source)
{
    KLogManager* manager = Manager();
    if (manager && manager->Filter())
        manager->Filter()->ReleaseOverwrittenOption(source);
}

void KLogger::SetFilterConfigCallback(void (*callback)(bool))
{
    KLogManager* manager = Manager();
    if (manager && manager->Filter())
        manager->Filter()->SetCallback(callback);
}

unsigned long long KLogger::MaxLogSize()
{
    return FilterSize(false);
}

unsigned long long KLogger::MaxTotalLogSize()
{
    return FilterSize(true);
}

void KLogger::GetStartTime(KSystemTime& time)
{
    KLogManager* manager = Manager();
    if (manager)
        time = manager->StartTime();
}

const std::string& KLogger::GetLogDirectory()
{
    return KFileLogWriter::LogDirectory();
}

void KLogger::GetLogDirectory(std::string& directory)
{
    directory = GetLogDirectory();
}

void KLogger::SystemLog(KLogLevel level, const char* format, ...)
{
    static KLogger logger(klsSystem, -1, "SYSTEM", "system", 0x10, false);
    va_list args;
    va_start(args, format);
    logger.vLog(level, format, args);
    va_end(args);
}

void KLogger::NotifyAppInitialization()
{
    KLogManager* manager = Manager();
    if (manager)
        manager->StartReloadConfigThread();
}

void KLogger::NotifyAppTermination()
{
    KLogManager* manager = KLogManager::Current();
    if (manager)
        manager->LeaveReloadThread();
}

void KLogger::ReloadConfig()
{
    KLogManager* manager = Manager();
    if (manager)
        manager->RequestReload();
}

void KLogger::Terminate()
{
    KLogManager::NotifyLoggerDestruction();
}

void KLogger::InternalLog(KLogLevel level, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    KLogManager::InternalLog(level, format, args);
    va_end(args);
}

void myLog(KLogLevel level, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    KLogManager::InternalLog(level, format, args);
    va_end(args);
}

namespace basekit {

void Initialize()
{
    KLogger::NotifyAppInitialization();
}

void Finalize()
{
    KLogger::NotifyAppTermination();
    // This system registers no inter-process messaging clients, so there is nobody else to
    // tell about the application's end.
}

} // namespace basekit
