#pragma once
// One log line under construction; it is committed (header + message, written and flushed
// under the writer's lock, copied to messages.log for Error/Warning/Info) when destroyed.
#include "Basekit/KLogger.h"
#include "Basekit/KLogWriter.h"

class KLogBuilder {
public:
    KLogBuilder() = default;
    KLogBuilder(KLogWriter* writer, KLogger* logger, KLogLevel level, bool binary = false);
    ~KLogBuilder();
    KLogBuilder(const KLogBuilder&) = delete;
    KLogBuilder& operator=(const KLogBuilder&) = delete;

    void Constructor(KLogWriter* writer, KLogger* logger, bool binary);
    void SetLevel(KLogLevel level);
    void SetActive(bool active) { Active = active; }
    bool IsActive() const { return Active; }
    kstring& Message() { return Text; }
    // true: commit now; false: end the current line inside the message.
    void NewLine(bool commit);
    void Commit();

private:
    KLogWriter* Writer = nullptr;
    KLogLevel Level = klTrace;
    bool Active = true;
    bool Binary = false;
    KLogger* Logger = nullptr;
    kstring Text;
};
