#include "Basekit/KLogBuilder.h"

#include "Basekit/KLogClock.h"
#include "Basekit/KLogManager.h"

namespace {
const char LevelCharacters[] = "EWINT";
} // namespace

KLogBuilder::KLogBuilder(KLogWriter* writer, KLogger* logger, KLogLevel level, bool binary)
{
    Constructor(writer, logger, binary);
    SetLevel(level);
}

KLogBuilder::~KLogBuilder()
{
    Commit();
}

void KLogBuilder::Constructor(KLogWriter* writer, KLogger* logger, bool binary)
{
    Writer = writer;
    Logger = logger;
    Binary = binary;
}

void KLogBuilder::SetLevel(KLogLevel level)
{
    // Out-of-range levels are printed and routed as errors, so they are never lost.
    Level = (level < klError || level > klTrace) ? klError : level;
}

void KLogBuilder::NewLine(bool commit)
{
    if (commit)
        Commit();
    else
        Text += "\n";
}

void KLogBuilder::Commit()
{
    if (!Active || Text.empty() || !Writer)
        return;
    KSystemTime now = KLogClock::Now();
    Writer->CheckDay(now.day);
    kstring line;
    if (Logger && Logger->ShowName())
        line.Format("%c|%02d/%02d/%04d %02d:%02d:%02d.%03d|%-8s", LevelCharacters[Level], now.day, now.month,
                    now.year, now.hour, now.minute, now.second, now.millisecond, Logger->Name().c_str());
    else
        line.Format("%c|%02d/%02d/%04d %02d:%02d:%02d.%03d", LevelCharacters[Level], now.day, now.month,
                    now.year, now.hour, now.minute, now.second, now.millisecond);
    line += Text;
    bool lazy = Logger && Level == klTrace && Logger->LazyTraceFlush();
    {
        basekit::KLockGuard lock(Writer->GetMutex());
        Writer->SetBinary(Binary);
        Writer->FmtWrite("%s\n", line.c_str());
        Writer->Flush(lazy);
    }
    if (Level <= klInfo) {
        // Taken only after the line's own writer was released: no lock order between them.
        KLogWriter* messages = KLogManager::ErrorWriter();
        if (messages && messages != Writer) {
            basekit::KLockGuard lock(messages->GetMutex());
            messages->FmtWrite("%s (%s)\n", line.c_str(), Writer->Name().c_str());
            messages->Flush(false);
        }
    }
    Text.clear();
}
