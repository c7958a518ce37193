#include "Basekit/KRemoteLogWriter.h"

#include <utility>

#include "Basekit/LM7/Basics/KSerializer.h"

KRemoteLogWriter::KRemoteLogWriter(Queue queue, const char* name) : Send(std::move(queue))
{
    Message.Name = name;
}

void KRemoteLogWriter::Write(const char* format, va_list args)
{
    basekit::KLockGuard lock(Mutex);
    Message.Text.vAppendFormat(format, args);
}

void KRemoteLogWriter::Flush(bool lazy)
{
    basekit::KLockGuard lock(Mutex);
    // The server refuses strings longer than the channel allows: cut the line rather than
    // have the whole connection dropped for it.
    if (Message.Text.size() >= basekit::KMAX_STRING_SIZE)
        Message.Text.resize(basekit::KMAX_STRING_SIZE - 1);
    Send(Message, lazy);
    Message.Text.clear();
}
