#pragma once
// What the log writers and the filter need from the log manager above them, handed to them
// when they are made: the size limit of one file, where they report their own errors (the
// internal log, klog.log) and where Error, Warning and Info lines are copied (messages.log).
#include <cstdarg>

#include "Basekit/KLogLevel.h"
#include "Basekit/kstring.h"

class KLogWriter;

class KLogContext {
public:
    virtual ~KLogContext() = default;

    // Bytes beyond which a log file is rotated into old/.
    virtual unsigned long long MaxLogSize() = 0;
    // A line of the internal log; dropped while that log is suppressed or its level filtered.
    virtual void vReport(KLogLevel level, const char* format, va_list args) = 0;
    // The internal log's file cannot be opened: its lines are no longer built.
    virtual void SuppressReports() = 0;
    // messages.log, or nullptr where there is none.
    virtual KLogWriter* ErrorWriter() = 0;
    // Shown in the internal log's opening line (empty in this system).
    virtual const kstring& GetModuleName() const = 0;

    void Report(KLogLevel level, const char* format, ...) __attribute__((format(printf, 3, 4)));
};
