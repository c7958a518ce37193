#pragma once
// A writer that hands each finished line to the remote log client's queue.
#include "Basekit/KLogMessage.h"
#include "Basekit/KLogWriter.h"
#include "Basekit/KThreadMutex.h"

class KRemoteLogClient;

class KRemoteLogWriter : public KLogWriter {
public:
    KRemoteLogWriter(KRemoteLogClient* client, const char* name);
    // Loggers of several threads share one writer and its line buffer, so a line is built
    // and queued under this lock.
    basekit::KMutex* GetMutex() override { return &Mutex; }
    void CheckDay(unsigned) override {}
    void Write(const char* format, va_list args) override;
    void Flush(bool lazy) override;
    kstring Name() override { return Message.Name; }

private:
    KRemoteLogClient* Client;
    basekit::KThreadMutex Mutex; // guards Message
    basekit::KLogMessage Message;
};
