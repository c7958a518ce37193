#include "Basekit/KLogBuilder.h"

#include "Basekit/KLogClock.h"

namespace {
const char LevelCharacters[] = "EWINT";
} // namespace

KLogBuilder::KLogBuilder(KLogWriter* writer, KLogContext* context, KLogLevel level, const char* name,
                         bool lazyTrace, bool binary)
    // Out-of-range levels are printed and routed as errors, so they are never lost.
    : Writer(writer), Context(context), Level((level < klError || level > klTrace) ? klError : level), Name(name),
      LazyTrace(lazyTrace), Binary(binary)
{
}

KLogBuilder::~KLogBuilder()
{
    Commit();
}

void KLogBuilder::Commit()
{
    if (Text.empty() || !Writer)
        return;
    KSystemTime now = KLogClock::Now();
    Writer->CheckDay(now.day);
    kstring line;
    if (Name)
        line.Format("%c|%02d/%02d/%04d %02d:%02d:%02d.%03d|%-8s", LevelCharacters[Level], now.day, now.month,
                    now.year, now.hour, now.minute, now.second, now.millisecond, Name);
    else
        line.Format("%c|%02d/%02d/%04d %02d:%02d:%02d.%03d", LevelCharacters[Level], now.day, now.month,
                    now.year, now.hour, now.minute, now.second, now.millisecond);
    line += Text;
    bool lazy = LazyTrace && Level == klTrace;
    {
        basekit::KLockGuard lock(Writer->GetMutex());
        Writer->SetBinary(Binary);
        Writer->FmtWrite("%s\n", line.c_str());
        Writer->Flush(lazy);
    }
    if (Level <= klInfo) {
        // Taken only after the line's own writer was released: no lock order between them.
        KLogWriter* messages = Context ? Context->ErrorWriter() : nullptr;
        if (messages && messages != Writer) {
            basekit::KLockGuard lock(messages->GetMutex());
            messages->FmtWrite("%s (%s)\n", line.c_str(), Writer->Name().c_str());
            messages->Flush(false);
        }
    }
    Text.clear();
}
