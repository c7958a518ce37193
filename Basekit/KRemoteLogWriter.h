#pragma once
// A writer that hands each finished line to the remote log client's queue.
#include <functional>

#include "Basekit/KLogMessage.h"
#include "Basekit/KLogWriter.h"
#include "Basekit/KThreadMutex.h"

class KRemoteLogWriter : public KLogWriter {
public:
    // Takes a finished line and whether it may wait (a lazy Trace line); never blocks.
    typedef std::function<void(const basekit::KLogMessage& message, bool lazy)> Queue;

    KRemoteLogWriter(Queue queue, const char* name);
    // Loggers of several threads share one writer and its line buffer, so a line is built
    // and queued under this lock.
    basekit::KMutex* GetMutex() override { return &Mutex; }
    void CheckDay(unsigned) override {}
    void Write(const char* format, va_list args) override;
    void Flush(bool lazy) override;
    kstring Name() override { return Message.Name; }

private:
    Queue Send;
    basekit::KThreadMutex Mutex; // guards Message
    basekit::KLogMessage Message;
};
