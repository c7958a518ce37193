#pragma once
// A destination of finished log lines (a log file, the messages log, a log server).
#include <cstdarg>

#include "Basekit/KLogLevel.h"
#include "Basekit/KThreadMutex.h"
#include "Basekit/kstring.h"

class KLogWriter {
public:
    virtual ~KLogWriter() = default;
    // The lock that serialises one line's write and flush, or nullptr.
    virtual basekit::KMutex* GetMutex() { return nullptr; }
    virtual void SetBinary(bool) {}
    // The day of month of the line about to be written.
    virtual void CheckDay(unsigned day) = 0;
    virtual void Write(const char* format, va_list args) = 0;
    // End of one line; unless lazy, the text must reach its destination now.
    virtual void Flush(bool lazy) = 0;
    virtual kstring Name() = 0;
    // Whether the writer keeps a log file open between lines (checkpoints go only to such
    // files). A file closed only until its next line, as after a filter reload, counts.
    virtual bool IsOpen() { return false; }
    // Closes an open file; the next line reopens it. True when a file was closed cleanly.
    virtual bool Close() { return false; }

    void FmtWrite(const char* format, ...) __attribute__((format(printf, 2, 3)));
};

// The system log: where a line goes when no log file can take it.
void SysLog(KLogLevel level, const char* text);
