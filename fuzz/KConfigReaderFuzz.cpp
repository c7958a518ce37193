// Any bytes as a klog.cfg: read whole and by section with the key/value reader, every typed
// getter asked for the keys the logging framework uses (and one key named by the input); then,
// inside the sandbox, loaded into a log filter as the log manager loads it. Checks: nothing but
// the reader's own exception ever leaves a getter, a copied field fits the value record, and no
// option of a source is both on and "never".
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>

#include "Basekit/KConfigReader.h"
#include "Basekit/KLogConfigReader.h"
#include "Basekit/KLogFilter.h"
#include "Basekit/KLogManager.h"
#include "Basekit/KLogger.h"
#include "Basekit/KRemoteLogSpecs.h"
#include "fuzz/FuzzSupport.h"

namespace {

// Lookups throw for missing keys, and throwing dominates the cost of an input: each reader is
// asked only for the keys the framework asks it for, plus one key named by the input.
const char* const FileKeys[] = {"MaxLogFileSize", "MaxTotalLogSize", "RemoteLogHost", "RemoteLogPort", ">x"};
const char* const SectionKeys[] = {"Value", "FullLog", "BOOTP", "OptionalValues"};
const char* const Sections[] = {"TAVO", "KLogger"};

// The reader's own scratch file; /var/tmp is private in the sandbox, the pid keeps parallel
// runs outside it apart.
const std::string& ReaderPath()
{
    static const std::string path = [] {
        if (fuzz::InSandbox()) {
            // The log manager and the remote log settings read klog.cfg once, when first used:
            // give them a fixed file, so that every input meets the same state (local logging,
            // no log server host), then keep the framework's own messages out of the log files.
            fuzz::WriteFile(KLogFilter::GetConfigFileName().c_str(), "[TAVO]\nValue=true\n");
            KRemoteLogSpecs::Instance()->LoadValues();
            KLogManager::GetMe(false);
            KLogManager::SuppressInternalLog();
        }
        return "/var/tmp/KConfigReaderFuzz-" + std::to_string(getpid()) + ".cfg";
    }();
    return path;
}

template <class Call> void Tolerate(Call call)
{
    try {
        call();
    } catch (const KBaseException&) {
    }
}

// Every getter on one key; only the reader's exceptions may come out of them.
void AskEverything(KConfigReader& reader, const char* key)
{
    if (!reader.ValueExists(key)) {
        reader.GetStringDef(key, "never");
        reader.GetIntDef(key, 14110);
        return;
    }
    try {
        reader.GetStringDef(key, "never");
        reader.GetIntDef(key, 14110);
        reader.GetHexDef(key, 0x10);
        reader.GetDoubleDef(key, 1.5);
        reader.GetBoolDef(key, false);
        reader.IsContained(key, 7);
        reader.IsContained(key, 0);
        // The value record holds 99 characters, so no field can need more than 100 bytes:
        // an exact-size heap buffer lets a longer copy show up as an overflow.
        std::unique_ptr<char[]> field(new char[KConfigReader::ValueSize]);
        for (int index = 0; index < 4; ++index) {
            if (reader.GetStringAtPos(key, field.get(), index) && strlen(field.get()) >= KConfigReader::ValueSize)
                abort();
        }
        KConfigReader fields;
        reader.GetFieldList(key, &fields);
        if (strlen(reader.GetString(key).c_str()) >= KConfigReader::ValueSize)
            abort();
        reader.GetInteger(key);
    } catch (const KBaseException&) {
    }
    Tolerate([&] { reader.GetHexadecimal(key); });
    Tolerate([&] { reader.GetDouble(key); });
}

template <size_t N> void AskKeys(KConfigReader& reader, const char* const (&keys)[N], const std::string& inputKey)
{
    for (const char* key : keys)
        AskEverything(reader, key);
    AskEverything(reader, inputKey.c_str());
}

// The key of the input's first line (text before '=' or the line end), so that keys the
// fixed list does not name are looked up too.
std::string FirstKey(const uint8_t* data, size_t size)
{
    std::string key;
    for (size_t i = 0; i < size && i < 120 && data[i] != '=' && data[i] != '\n' && data[i] != '\0'; ++i)
        key += static_cast<char>(data[i]);
    return key;
}

void LoadFilter(const uint8_t* data, size_t size)
{
    fuzz::WriteFile(KLogFilter::GetConfigFileName().c_str(), fuzz::Text(data, size));
    KLogFilter filter;
    filter.LoadConfig();
    // An option set to "never" is never written: it cannot be on at the same time.
    for (int source = 0; source < KLogFilter::Entries; ++source) {
        KLogSource s = static_cast<KLogSource>(source);
        if (filter.OptionMask(s) & filter.NeverMask(s))
            abort();
    }
    fuzz::Serialized(filter); // what the log server would be sent back
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string& path = ReaderPath();
    fuzz::WriteFile(path, fuzz::Text(data, size));
    const std::string inputKey = FirstKey(data, size);

    KConfigReader whole;
    whole.LoadFile(path.c_str(), false); // the file is there: an exception ends the run
    AskKeys(whole, FileKeys, inputKey);

    for (const char* name : Sections) {
        KLogConfigReader section;
        try {
            section.LoadSection(path.c_str(), name);
        } catch (const KBaseException&) {
            continue;
        }
        AskKeys(section, SectionKeys, inputKey);
    }

    if (fuzz::InSandbox())
        LoadFilter(data, size);
    return 0;
}
