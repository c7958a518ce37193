#pragma once
// Named loggers bound to one log source, one option bit of it and one log file.
#include <cstdarg>

#include "Basekit/KHostSystem.h"
#include "Basekit/KLogLevel.h"
#include "Basekit/KLogSource.h"
#include "Basekit/kstring.h"

class KLogWriter;

class KLogger {
public:
    static const int LOG_DEVICE_WIDTH = 1;
    static const int LOG_CHANNEL_WIDTH = 2;

    // flags: 0x01 executable-name prefix, 0x04 start-time suffix, 0x02 ".pid%d", 0x10 show name.
    KLogger(KLogSource source, int option, const char* name, const char* file, int flags,
            bool lazyTraceFlush);
    ~KLogger();
    KLogger(const KLogger&) = delete;
    KLogger& operator=(const KLogger&) = delete;

    void Error(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void Warning(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void Info(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void Notice(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void Trace(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void Log(KLogLevel level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void vLog(KLogLevel level, const char* format, va_list args);
    // The text as it is, without the "| " separator.
    void Log(KLogLevel level, const kstring& text);
    void LogBinary(KLogLevel level, const kstring& text);
    // The line's message is prefix followed by the formatted text.
    void vLogPrefixed(KLogLevel level, const char* prefix, const char* format, va_list args);
    // The same for a caller that already asked IsActive (so the filter is asked once).
    void CommitLine(KLogLevel level, const char* prefix, const char* format, va_list args);

    void LogDev(KLogLevel level, int device, const char* format, ...) __attribute__((format(printf, 4, 5)));
    void vLogDev(KLogLevel level, int device, const char* format, va_list args);
    void LogChannel(KLogLevel level, int device, int channel, const char* format, ...)
        __attribute__((format(printf, 5, 6)));
    void LogChanAndCall(KLogLevel level, int device, int channel, int call, const char* format, ...)
        __attribute__((format(printf, 6, 7)));
    void LogCall(KLogLevel level, int call, const char* format, ...) __attribute__((format(printf, 4, 5)));
    void LogDsp(KLogLevel level, int device, int dsp, const char* format, ...)
        __attribute__((format(printf, 5, 6)));
    void LogLink(KLogLevel level, int device, int link, const char* format, ...)
        __attribute__((format(printf, 5, 6)));
    void LogLinkAndCall(KLogLevel level, unsigned device, unsigned link, int call, const char* format, ...)
        __attribute__((format(printf, 6, 7)));
    void LogNai(KLogLevel level, unsigned nai, const char* format, ...) __attribute__((format(printf, 4, 5)));
    void LogNaiAndCall(KLogLevel level, unsigned nai, int call, const char* format, ...)
        __attribute__((format(printf, 5, 6)));

    bool IsActive(KLogLevel level) const;

    static bool IsOptionActive(KLogSource source, unsigned option);
    static int GetConfig(KLogSource source);
    static void OverwriteOption(KLogSource source, unsigned mask);
    static void ReleaseOverwrittenOption(KLogSource source);
    static void SetFilterConfigCallback(void (*callback)(bool));
    static unsigned long long MaxLogSize();
    static unsigned long long MaxTotalLogSize();
    static void GetStartTime(KSystemTime& time);
    static const std::string& GetLogDirectory();
    static void GetLogDirectory(std::string& directory);
    static void SystemLog(KLogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));
    static void NotifyAppInitialization();
    static void NotifyAppTermination();
    static void ReloadConfig();
    static void Terminate();
    static void InternalLog(KLogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

    const kstring& Name() const { return LoggerName; }
    KLogWriter* Writer() const { return LogWriter; }
    bool ShowName() const { return ShowNameField; }
    bool LazyTraceFlush() const { return LazyFlush; }
    KLogSource Source() const { return LogSource; }
    int Option() const { return LogOption; }

private:
    void LogText(KLogLevel level, const kstring& text, bool binary);

    kstring LoggerName;
    KLogWriter* LogWriter = nullptr; // owned by the log manager
    bool ShowNameField = false;
    bool LazyFlush = false;
    KLogSource LogSource;
    int LogOption;
};

void myLog(KLogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

namespace basekit {
// Start and end of the application: the log reload thread runs between them.
void Initialize();
void Finalize();
} // namespace basekit
