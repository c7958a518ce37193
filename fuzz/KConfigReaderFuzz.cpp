// Any bytes as a klog.cfg: read whole and by section with the key/value reader, every typed
// getter asked for the keys the logging framework uses (and one key named by the input), the
// items written back and read again; then, inside the sandbox, loaded into a log filter as the
// log manager loads it. Checks: nothing but the reader's own exception ever leaves a getter, a
// copied field fits the value record, and no option of a source is both on and "never".
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>

#include "Basekit/KConfigReader.h"
#include "Basekit/KLogConfigReader.h"
#include "Basekit/KLogFilter.h"
#include "Basekit/KLogManager.h"
#include "Basekit/KLogger.h"
#include "Basekit/KRemoteLogSpecs.h"
#include "Basekit/LM7/Basics/KOutSerializer.h"

namespace {

// Lookups throw for missing keys, and throwing dominates the cost of an input: each reader is
// asked only for the keys the framework asks it for, plus one key named by the input.
const char* const FileKeys[] = {"MaxLogFileSize", "MaxTotalLogSize", "RemoteLogHost", "RemoteLogPort", ">x"};
const char* const SectionKeys[] = {"Value", "FullLog", "BOOTP", "OptionalValues"};
const char* const Sections[] = {"TAVO", "KLogger"};

struct State {
    std::string ReaderPath; // the reader's own scratch file
    std::string SavedPath;  // where SaveFile rewrites it
    bool Sandboxed = false; // the fixed klog.cfg path is then the sandbox's own
};

void WriteFile(const std::string& path, const uint8_t* data, size_t size)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

const State& Setup()
{
    static const State state = [] {
        State s;
        // /var/tmp is private in the sandbox; the pid keeps parallel runs outside it apart.
        s.ReaderPath = "/var/tmp/KConfigReaderFuzz-" + std::to_string(getpid()) + ".cfg";
        s.SavedPath = s.ReaderPath + ".saved";
        const char* sandboxed = std::getenv("TAVO_SANDBOXED");
        s.Sandboxed = sandboxed && std::string(sandboxed) == "1";
        if (s.Sandboxed) {
            // The log manager and the remote log settings read klog.cfg once, when first used:
            // give them a fixed file, so that every input meets the same state (local logging,
            // no log server host), then keep the framework's own messages out of the log files.
            std::ofstream(KLogFilter::GetConfigFileName().c_str(), std::ios::trunc) << "[TAVO]\nValue=true\n";
            KRemoteLogSpecs::Instance()->LoadValues();
            KLogManager::GetMe(false);
            KLogManager::SuppressInternalLog();
        }
        return s;
    }();
    return state;
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
    try {
        reader.GetHexadecimal(key);
    } catch (const KBaseException&) {
    }
    try {
        reader.GetDouble(key);
    } catch (const KBaseException&) {
    }
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

class SerialBytes : public basekit::KOutSerializer {
public:
    std::string Bytes;
    void Serialize(void* data, unsigned size) override { Bytes.append(static_cast<const char*>(data), size); }
};

void LoadFilter(const uint8_t* data, size_t size)
{
    WriteFile(KLogFilter::GetConfigFileName().c_str(), data, size);
    KLogFilter filter;
    filter.LoadConfig();
    if (filter.OptionMask(klsSystem) != 0xFFFFFFFFu)
        abort();
    for (int source = 0; source < KLogFilter::Entries; ++source) {
        KLogSource s = static_cast<KLogSource>(source);
        // An option set to "never" is never written: it cannot be on at the same time.
        if (filter.OptionMask(s) & filter.NeverMask(s))
            abort();
        for (unsigned option : {1u, 2u, 4u, 8u, 0xFFFFFFFFu}) {
            bool active = filter.IsActive(klTrace, s, option);
            if (option != 0xFFFFFFFFu && (filter.NeverMask(s) & option) && active)
                abort();
        }
    }
    // What the log server would be sent back has the fixed size of 29 entries.
    SerialBytes wire;
    filter.Serialize(wire);
    if (wire.Bytes.size() != 4 + KLogFilter::Entries * 9 + 1 + 8 + 8)
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const State& state = Setup();
    WriteFile(state.ReaderPath, data, size);
    const std::string inputKey = FirstKey(data, size);

    KConfigReader whole;
    try {
        whole.LoadFile(state.ReaderPath.c_str(), false);
    } catch (const KBaseException&) {
        abort(); // the file is there
    }
    for (const char* key : FileKeys)
        AskEverything(whole, key);
    AskEverything(whole, inputKey.c_str());

    for (const char* name : Sections) {
        KLogConfigReader section;
        try {
            section.LoadSection(state.ReaderPath.c_str(), name);
        } catch (const KBaseException&) {
            continue;
        }
        for (const char* key : SectionKeys)
            AskEverything(section, key);
        AskEverything(section, inputKey.c_str());
    }

    // Changed values are written back and the result is read again without surprises.
    unlink(state.SavedPath.c_str()); // created afresh by the reader, so runs do not pile up
    try {
        whole.SetValue("RemoteLogPort", "14111");
        whole.SetValue(inputKey.c_str(), "changed");
        KConfigReader copy;
        copy.LoadFile(state.ReaderPath.c_str(), false);
        copy.LoadFile(state.SavedPath.c_str(), true);
        copy.SetValue("MaxLogFileSize", inputKey.c_str());
        copy.SaveFile();
        KConfigReader again;
        again.LoadFile(state.SavedPath.c_str(), false);
        AskEverything(again, "MaxLogFileSize");
        AskEverything(again, inputKey.c_str());
    } catch (const KBaseException&) {
    }

    if (state.Sandboxed)
        LoadFilter(data, size);
    return 0;
}
