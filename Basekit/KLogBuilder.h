#pragma once
// One log line under construction; it is committed (header + message, written and flushed
// under the writer's lock, copied to messages.log for Error/Warning/Info) when destroyed.
#include "Basekit/KLogContext.h"
#include "Basekit/KLogLevel.h"
#include "Basekit/KLogWriter.h"

class KLogBuilder {
public:
    // context: where Error, Warning and Info lines are copied (nullptr: nowhere); name: shown
    // in the header when given; lazyTrace: Trace lines need not reach the file at once.
    KLogBuilder(KLogWriter* writer, KLogContext* context, KLogLevel level, const char* name = nullptr,
                bool lazyTrace = false, bool binary = false);
    ~KLogBuilder();
    KLogBuilder(const KLogBuilder&) = delete;
    KLogBuilder& operator=(const KLogBuilder&) = delete;

    kstring& Message() { return Text; }
    void Commit();

private:
    KLogWriter* Writer;
    KLogContext* Context;
    KLogLevel Level;
    const char* Name;
    bool LazyTrace;
    bool Binary;
    kstring Text;
};
