#pragma once
// Writes log lines to one file of the log directory: opened on the first line, rotated into
// old/ when it grows beyond the size limit, marked at day changes, and paused for a while
// after a write error (with a banner telling what was lost once writing works again).
#include <cstdio>
#include <ctime>
#include <string>

#include "Basekit/KLogContext.h"
#include "Basekit/KLogWriter.h"
#include "Basekit/KThreadMutex.h"

class KFileLogWriter : public KLogWriter {
public:
    static int SecondsDisabledOnError; // 30

    // A null or empty name makes the internal monitor writer (klog.log, opened at once).
    // The context gives the size limit and takes the writer's own errors; it outlives the writer.
    KFileLogWriter(const char* name, KLogContext& context);
    ~KFileLogWriter() override;
    KFileLogWriter(const KFileLogWriter&) = delete;
    KFileLogWriter& operator=(const KFileLogWriter&) = delete;

    basekit::KMutex* GetMutex() override { return &Mutex; }
    void SetBinary(bool binary) override { Binary = binary; }
    void CheckDay(unsigned day) override;
    void Write(const char* format, va_list args) override;
    void Flush(bool lazy) override;
    kstring Name() override { return WriterName; }
    bool IsOpen() override;
    bool Close() override;
    virtual void PrintLogOpened();

    void Open(const char* name);
    void Rotate();
    void CheckSizeAndRotate();
    void RenameOlderRotations();
    // Plain text, not a format.
    void Write(const char* text);
    const std::string& FilePath() const { return Path; }

    // The process's log directory "/var/log/varnel/", made and tried once; a process that
    // cannot write there says so on stderr and in the system log and exits with -123, unless
    // it called MayRunWithoutDirectory(): then the directory is empty and no log file opens.
    static const std::string& LogDirectory();
    // For a program that does its work without log files (an operator's tool run from any
    // account): called before its first logger is made, an unusable log directory drops every
    // log line instead of ending the process.
    static void MayRunWithoutDirectory();
    // True when a file "WriteTest.tmp" can be created in the directory (name appended as is).
    static bool WriteTest(const std::string& directory);
    // Opens a log file for appending (mode 0640 when created); -1 with errno set when it cannot
    // be opened or is a link or no regular file, which are never written through.
    static int OpenForAppend(const std::string& path);
    // Creates the directory's missing levels with mode 0750; false when that fails or the path
    // is a link somebody other than root made.
    static bool MakeLogDirectory(const std::string& path);

protected:
    bool _InternalOpen(const std::string& path);
    void WriteError(const char* operation);
    // True while writing is paused; with tryRecover, ends an expired pause with the banner.
    bool WriteDisabled(bool tryRecover);
    void OpenLogMonitor();

    basekit::KThreadMutex Mutex; // serialises lines, rotation, day banners and closing
    KLogContext& Context;

private:
    // Both Writes: pending text first, then this line; operation names the call in an error.
    void WriteText(const char* text, size_t length, const char* operation);
    void Emit(const char* text, size_t length, const char* operation);

    FILE* File = nullptr;
    unsigned long long Size = 0; // bytes in the open file, tracked so no seek is needed
    unsigned Day = 0;
    std::string WriterName;
    std::string Path;
    kstring Pending;
    time_t DisabledUntil = 0;
    int ErrorCode = 0;
    kstring ErrorSince;
    bool CloseAfterWrite = false;
    bool Binary = false;
};
