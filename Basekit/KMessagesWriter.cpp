#include "Basekit/KMessagesWriter.h"

void KMessagesWriter::Flush(bool lazy)
{
    basekit::KLockGuard lock(Mutex);
    if (!Buffer.empty()) {
        KFileLogWriter::Write(Buffer.c_str());
        Buffer.clear();
    }
    KFileLogWriter::Flush(lazy);
}
