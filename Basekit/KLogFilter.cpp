#include "Basekit/KLogFilter.h"

#include <cctype>
#include <cstdlib>
#include <stdexcept>
#include <strings.h>

#include "Basekit/KHostSystem.h"
#include "Basekit/KLogConfigReader.h"
#include "Basekit/KRemoteLogSpecs.h"
#include "Basekit/LM7/Basics/KSerializer.h"

namespace {

const uint32_t AllBits = 0xFFFFFFFFu;
// More entries than any product has sources: a count beyond this is a broken message,
// not a filter, and must not make us read for ever.
const uint32_t MaxWireEntries = 1024;

// "0x" hexadecimal, leading-0 octal or decimal; text after the number is ignored; a value
// that does not start with a digit (such as "@") gives the default.
unsigned long long ParseSize(const kstring& text, unsigned long long defaultValue)
{
    if (text.empty() || !isdigit(static_cast<unsigned char>(text[0])))
        return defaultValue;
    return strtoull(text.c_str(), nullptr, 0);
}

bool Is(const kstring& value, const char* word)
{
    return strcasecmp(value.c_str(), word) == 0;
}

} // namespace

KLogFilter::KLogFilter(KLogContext* reports) : Reports(reports)
{
    for (int i = 0; i < Entries; ++i) {
        Options[i] = AllBits;
        Never[i] = 0;
        Overwritten[i] = false;
        Saved[i] = 0;
    }
}

void KLogFilter::Report(KLogLevel level, const char* format, ...) const
{
    if (!Reports)
        return;
    va_list args;
    va_start(args, format);
    Reports->vReport(level, format, args);
    va_end(args);
}

const kstring& KLogFilter::GetConfigFileName()
{
    static const kstring path = fstring("%s%cconfig%cklog.cfg", KHostSystem::GetWorkDirectory(), '/', '/');
    return path;
}

const char** KLogFilter::OptionNames(KLogSource source)
{
    switch (source) {
    case klsTAVO:
        return KLogTavoOptionsStr;
    case klsConfig:
        return KLogConfigOptionsStr;
    default:
        return KLogUniqueOption;
    }
}

void KLogFilter::SetAllNever(bool keepOverwritten)
{
    for (int i = 1; i < Entries; ++i) {
        if (keepOverwritten && Overwritten[i])
            continue;
        Options[i] = 0;
        Never[i] = AllBits;
    }
}

void KLogFilter::LoadConfig()
{
    KRemoteLogSpecs::Instance()->LoadValues();
    if (!KRemoteLogSpecs::Instance()->RemoteLogHost().empty())
        return;
    Report(klNotice, "Loading configs");

    KLogConfigReader whole;
    try {
        whole.LoadFile(GetConfigFileName().c_str(), false);
    } catch (const std::exception& error) {
        // Without klog.cfg an operator expects the quiet default of a fresh installation:
        // Trace off for every source, exactly as a missing section gives (Error, Warning,
        // Info and Notice lines are written anyway), the System source as always on, and
        // the default size limits. One Notice names the file, so the cause is easy to find.
        Report(klNotice, "Log filter file %s not loaded [%s]: Trace lines are off for every source",
               GetConfigFileName().c_str(), error.what());
        MaxFileSize = KLOG_DEFAULT_MAX_FILE_SIZE;
        MaxTotalSize = KLOG_DEFAULT_MAX_TOTAL_LOG_SIZE;
        Full = false;
        SetAllNever(true);
        if (!Overwritten[klsSystem])
            Options[klsSystem] = AllBits;
        InvokeFilterCallback(false);
        return;
    }

    auto size = [&whole](const char* key, unsigned long long defaultValue) {
        try {
            return ParseSize(whole.GetString(key), defaultValue);
        } catch (const std::exception&) {
            return defaultValue;
        }
    };
    MaxFileSize = size("MaxLogFileSize", KLOG_DEFAULT_MAX_FILE_SIZE);
    Report(klTrace, "MaxLogFileSize=%lld", static_cast<long long>(MaxFileSize.load()));
    MaxTotalSize = size("MaxTotalLogSize", KLOG_DEFAULT_MAX_TOTAL_LOG_SIZE);
    Report(klTrace, "MaxTotalLogSize=%lld", static_cast<long long>(MaxTotalSize.load()));

    for (int i = 0; i < Entries; ++i) {
        if (!Overwritten[i])
            Options[i] = 0;
    }
    Full = false;
    if (!Overwritten[klsSystem])
        Options[klsSystem] = AllBits;

    SetOption(klsKLogger, OptionNames(klsKLogger));
    for (int source = 1; source < Entries; ++source) {
        if (source != klsKLogger)
            SetOption(static_cast<KLogSource>(source), OptionNames(static_cast<KLogSource>(source)));
    }
    InvokeFilterCallback(false);
}

void KLogFilter::SetOption(KLogSource source, const char** names)
{
    if (source < 0 || source >= Entries || Overwritten[source])
        return;
    const char* sourceName = GetStringKLogSource(source);
    Report(klTrace, "%s", "");
    Report(klTrace, "Loading section: [%s(%d)] file: [%s]", sourceName, source,
           GetConfigFileName().c_str());
    KLogConfigReader section;
    try {
        section.LoadSection(GetConfigFileName().c_str(), sourceName);
    } catch (const KBaseException& error) {
        Report(klNotice, "Error loading section [%s], assuming 'never' for all keys. Error: [%s]",
               sourceName, error.what());
        Options[source] = 0;
        Never[source] = AllBits;
        return;
    }

    if (source == klsKLogger && section.GetBoolDef("FullLog", false)) {
        Full = true;
        Report(klNotice, "FULL LOG ATIVADO");
    }

    kstring value = section.GetStringDef("Value", "never");
    Report(klTrace, "Value=%s", value.c_str());
    bool valueTrue = Is(value, "true");
    uint32_t options = 0;
    uint32_t never = 0;
    if (valueTrue)
        options = AllBits;
    else if (Is(value, "never"))
        never = AllBits;

    for (int i = 0; names && names[i] && names[i][0]; ++i) {
        uint32_t bit = 1u << i;
        kstring option = section.GetStringDef(names[i], "never");
        Report(klTrace, "%s=%s", names[i], option.c_str());
        if (valueTrue && !Is(option, "true"))
            options &= ~bit;
        if (Is(option, "never"))
            never |= bit;
    }
    Options[source] = options;
    Never[source] = never;
}

bool KLogFilter::IsActive(KLogLevel level, KLogSource source, unsigned option) const
{
    if (source < 0 || source >= klsMaxSources + 1 || level < klError || level > klTrace) {
        Report(klNotice, "Invalid log request level=%d src=%d opt=%d, returning true", level, source,
               option);
        return true;
    }
    if (level != klTrace)
        return true;
    // Source 29 is the count of sources: it has no entry, so nothing of it is enabled.
    uint32_t options = source < Entries ? Options[source].load(std::memory_order_relaxed) : 0;
    if (source >= Entries || !Overwritten[source].load(std::memory_order_relaxed)) {
        uint32_t never = source < Entries ? Never[source].load(std::memory_order_relaxed) : 0;
        if (option == AllBits ? never == AllBits : (never & option) != 0)
            return false;
        if (Full.load(std::memory_order_relaxed))
            return true;
    }
    return option == AllBits ? options != 0 : (options & option) != 0;
}

void KLogFilter::InvokeFilterCallback(bool remote)
{
    Callback callback = FilterCallback;
    if (!callback)
        return;
    const char* origin = remote ? "remote" : "local";
    try {
        callback(remote);
    } catch (const std::exception& error) {
        Report(klWarning, "Exception calling filter config callback(invoke:%s) [%s]!", origin,
               error.what());
    } catch (...) {
        Report(klWarning, "Unknown exception calling filter config callback (invoke:%s)!", origin);
    }
}

void KLogFilter::Serialize(basekit::KSerializer& serializer)
{
    using basekit::operator&;
    uint32_t count = Entries;
    serializer & count;
    if (serializer.In() && count > MaxWireEntries)
        throw std::runtime_error(fstring("invalid log filter: %u source entries", count));
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t options = i < Entries ? Options[i].load() : 0;
        bool overwritten = i < Entries ? Overwritten[i].load() : false;
        uint32_t never = i < Entries ? Never[i].load() : 0;
        serializer & options & overwritten & never;
        if (serializer.In() && i < Entries) {
            Options[i] = options;
            Overwritten[i] = overwritten;
            Never[i] = never;
        }
    }
    if (serializer.In()) {
        for (uint32_t i = count; i < Entries; ++i) {
            Options[i] = AllBits;
            Overwritten[i] = false;
            Never[i] = 0;
        }
    }
    bool full = Full;
    uint64_t maxFile = MaxFileSize;
    uint64_t maxTotal = MaxTotalSize;
    serializer & full & maxFile & maxTotal;
    if (serializer.In()) {
        Full = full;
        MaxFileSize = maxFile;
        MaxTotalSize = maxTotal;
    }
}

void KLogFilter::CopyFrom(const KLogFilter& other)
{
    for (int i = 0; i < Entries; ++i) {
        Options[i] = other.Options[i].load();
        Never[i] = other.Never[i].load();
        Overwritten[i] = other.Overwritten[i].load();
        Saved[i] = other.Saved[i].load();
    }
    Full = other.Full.load();
    MaxFileSize = other.MaxFileSize.load();
    MaxTotalSize = other.MaxTotalSize.load();
}

uint32_t KLogFilter::OptionMask(KLogSource source) const
{
    return source >= 0 && source < Entries ? Options[source].load() : 0;
}

uint32_t KLogFilter::NeverMask(KLogSource source) const
{
    return source >= 0 && source < Entries ? Never[source].load() : 0;
}

bool KLogFilter::IsOverwritten(KLogSource source) const
{
    return source >= 0 && source < Entries && Overwritten[source];
}

void KLogFilter::OverwriteOption(KLogSource source, uint32_t mask)
{
    if (source <= klsSystem || source >= Entries)
        return;
    if (!Overwritten[source]) {
        Saved[source] = Options[source].load();
        Overwritten[source] = true;
    }
    Options[source] = mask;
}

void KLogFilter::ReleaseOverwrittenOption(KLogSource source)
{
    if (source <= klsSystem || source >= Entries || !Overwritten[source])
        return;
    Options[source] = Saved[source].load();
    Overwritten[source] = false;
}
