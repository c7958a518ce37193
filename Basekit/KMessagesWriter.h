#pragma once
// The shared messages.log: copies of every Error, Warning and Info line, each followed by
// the name of its own file. Opened and closed around every line, no day banners.
#include "Basekit/KFileLogWriter.h"

class KMessagesWriter : public KFileLogWriter {
public:
    explicit KMessagesWriter(KLogContext& context) : KFileLogWriter("messages", context) {}
    void CheckDay(unsigned) override {}
    void Write(const char* format, va_list args) override { Buffer.vAppendFormat(format, args); }
    void Flush(bool lazy) override;
    void PrintLogOpened() override {}

private:
    kstring Buffer; // the current line, guarded by the writer's mutex
};
