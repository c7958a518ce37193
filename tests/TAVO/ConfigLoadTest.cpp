// The configuration layer: keyed values with defaults and their messages, documents read one at
// a time, the service (tavo.yaml) and devices (devices.yaml) files as loaded and as refused, and
// the per-class singleton. The rules shared with the checker are met through the BOOTP decision,
// the TFTP acceptance and the devices tables.
#include <stdexcept>

#include <gtest/gtest.h>

#include "Basekit/KBaseException.h"
#include "Tools/TAVO/ConfigLoad.h"
#include "Tools/TAVO/KConfig.h"
#include "Tools/TAVO/KConfigLoadError.h"
#include "Tools/TAVO/KConfigReloader.h"
#include "Tools/TAVO/TAVOCfg.h"
#include "Tools/TAVO/TAVODevs.h"
#include "tests/TAVO/TAVOTestKit.h"

using namespace tavotest;
using Lines = std::vector<std::string>;

namespace {

// One number under "Value"; validation rejects 13.
class ProbeConfig : public config::KReloadable {
public:
    explicit ProbeConfig(const char* file = "probe", int policy = 0, const char* document = "probe")
        : KReloadable(file, document, policy)
    {
    }
    bool LoadConfig(const YAML::Node& node) override
    {
        config::Load(node, "Value", value, 1, true);
        return true;
    }
    std::unique_ptr<KReloadable> CloneForValidation() const override { return std::make_unique<ProbeConfig>(); }
    void AdditionalValidations() override
    {
        if (value == 13)
            throw std::runtime_error("13 is unlucky");
    }
    unsigned value = 5;
};

struct DocumentCase {
    const char* yaml;
    const char* document;
    int policy;
    unsigned expected;
};

TEST(DocumentWalk, FirstMatchingDocumentIsLoaded)
{
    const DocumentCase cases[] = {
        // a document that is not a map is skipped; the first match ends the search
        {"- a\n---\nprobe: {Value: 7}\n---\nprobe: {Value: 8}\n", "probe", 0, 7},
        {"Probe: {Value: 9}\nprobe: {Value: 4}\n", "probe", 0, 4}, // exact case
        {"other: {Value: 9}\n", "probe", 1, 1},  // missing document allowed: defaults
        {"Value: 6\n---\nValue: 2\n", "", 0, 6}, // no document name: the first document
        // documents are read one at a time: a broken one after the match does not count
        {"other: {Value: 9}\n---\nprobe: {Value: 7}\n...\n---\n, a\n", "probe", 0, 7},
        // a "---" inside a block scalar is text, not a document boundary
        {"text: |\n  ---\n  probe: {Value: 2}\nprobe: {Value: 3}\n---\n[\n", "probe", 0, 3}};
    for (const DocumentCase& c : cases) {
        WriteConfig("probe", c.yaml);
        ProbeConfig probe("probe", c.policy, c.document);
        config::KConfigReloader::Reload(probe, false);
        EXPECT_EQ(probe.value, c.expected) << c.yaml;
    }
}

// "rx tx [interfaces] tftp-port 'alternative path' {requested:sent}"
std::string Dump(const config::TAVOSettings& s)
{
    std::string text = std::to_string(s.BootP.RxPort) + " " + std::to_string(s.BootP.TxPort) + " [";
    for (const kstring& address : s.Interfaces)
        text += address + ",";
    text += "] " + std::to_string(s.Tftp.Port) + " '" + s.Tftp.AlternativePath + "' {";
    for (const auto& mapping : s.Firmwares)
        text += mapping.first + ":" + mapping.second + ",";
    return text + "}";
}

// "serial=ip/replacer/firmware/set-new-firmware ... | replacer>replaced ..."
std::string Dump(const config::DevicesTables& d)
{
    std::string text;
    for (const auto& m : d.machines)
        text += std::to_string(m.first) + "=" + m.second.IP + "/" + std::to_string(m.second.Replacer) + "/" +
                m.second.Firmware + "/" + (m.second.SetNewFirmware ? "1" : "0") + " ";
    text += "|";
    for (const auto& r : d.replacements)
        text += " " + std::to_string(r.first) + ">" + std::to_string(r.second);
    return text;
}

struct LoadCase {
    const char* yaml;
    const char* expected; // Dump of the loaded object
    Lines messages;       // every line written, in order
};

// Loads each case's file into a fresh object of type Config; the Dump and the lines written.
template <class Config>
void ExpectLoads(const char* file, const std::vector<LoadCase>& cases)
{
    for (const LoadCase& c : cases) {
        SCOPED_TRACE(c.yaml);
        WriteConfig(file, c.yaml);
        Config object;
        LogWatch log(BasekitLog());
        config::KConfigReloader::Reload(object, false);
        EXPECT_EQ(Dump(object.Copy()), c.expected);
        EXPECT_EQ(log.Messages(), c.messages);
    }
}

TEST(ServiceLoad, ReadsSettingsWithDefaultsAndMessages)
{
    ExpectLoads<config::TAVOCfg>("tavo", {
        // the empty map starts at line 1, column 7
        LoadCase{"tavo: {}\n", "14102 14103 [] 69 '' {}",
                 {"T|CONFIG  | Could not load 'BootP'(line=1,col=7), no default.",
                  "T|CONFIG  | Could not load list 'Interfaces'(line=1,col=7).",
                  "T|CONFIG  | Could not load 'tftp'(line=1,col=7), no default.",
                  "T|CONFIG  | Could not load map 'Firmwares'(line=1,col=7)."}},
        LoadCase{"tavo:\n"
                 "  BootP: {RxPort: 0, TxPort: 70000}\n"        // taken as read: no range check
                 "  Interfaces: [192.0.2.1, 198.51.100.1]\n"
                 "  tftp: {Port: 6969, AlternativePath: /srv/tftp}\n"
                 "  Firmwares:\n"
                 "    - ndx.bin: ndx-2.bin\n"
                 "    - old.bin: new.bin\n"
                 "    - ndx.bin: ndx-3.bin\n",                   // the later target wins
                 "0 70000 [192.0.2.1,198.51.100.1,] 6969 '/srv/tftp' {ndx.bin:ndx-3.bin,old.bin:new.bin,}", {}},
        LoadCase{"tavo:\n"
                 "  BootP: {RxPort: abc, TxPort: -1}\n"              // not unsigned numbers
                 "  Interfaces: []\n"
                 "  TFTP: {Port: 1069}\n"                        // section names are case-sensitive
                 "  Firmwares: ~\n",
                 "14102 14103 [] 69 '' {}",
                 {"T|CONFIG  | Could not load 'RxPort'(line=2,col=10) using default value (14102).",
                  "T|CONFIG  | Could not load 'TxPort'(line=2,col=10) using default value (14103).",
                  "T|CONFIG  | Could not load 'tftp'(line=2,col=3), no default."}}});
}

// Entries with every key, so that only the lines under test write messages.
#define BOARD(serial, type, ip, replacer) \
    "  - " #serial ": {Type: " type ", IP: " ip ", Replacer: " #replacer ", Firmware: f, SetNewFirmware: no}\n"

TEST(DevicesLoad, ReadsBoardsAndReplacements)
{
    ExpectLoads<config::TAVODevs>("devices", {
        // the same serial twice: the second entry wins (its replacement was already recorded)
        LoadCase{"Devices:\n" BOARD(7, "NDX", "192.0.2.1", 100) BOARD(7, "NDX", "192.0.2.2", 0),
                 "7=192.0.2.2/0/f/0 | 100>7", {}},
        // the same replacement board twice: the first configured board keeps it
        LoadCase{"Devices:\n" BOARD(1, "NDX", "192.0.2.1", 100) BOARD(2, "NDX", "192.0.2.2", 100),
                 "1=192.0.2.1/100/f/0 2=192.0.2.2/100/f/0 | 100>1", {}},
        // several boards in one element; another product between them changes nothing
        LoadCase{"Devices:\n  - 1: {Type: NDX, IP: 192.0.2.1, Replacer: 9, Firmware: a.bin, SetNewFirmware: yes}\n"
                 "    2: {Type: ABC, IP: 192.0.2.99, Replacer: 8}\n"
                 "    3: {Type: NDX, IP: 192.0.2.3, Replacer: 0, Firmware: '~', SetNewFirmware: maybe}\n",
                 "1=192.0.2.1/9/a.bin/1 3=192.0.2.3/0/~/0 | 9>1", // a quoted ~ is text, not null
                 {"T|CFG-OPT | Could not load optional config 'SetNewFirmware'(line=4,col=8), using default value (0)"}},
        // without "IP" a board gets no address, never the one of the board before it
        LoadCase{"Devices:\n" BOARD(1, "NDX", "192.0.2.1", 0) "  - 9: {Type: NDX}\n",
                 "1=192.0.2.1/0/f/0 9=/0//0 |",
                 {"T|CFG-OPT | Could not load optional config 'Replacer'(line=3,col=8), using default value (0)",
                  "T|CONFIG  | Could not load 'IP'(line=3,col=8), no default.",
                  "T|CFG-OPT | Could not load optional config 'Firmware'(line=3,col=8), using default value ()",
                  "T|CFG-OPT | Could not load optional config 'SetNewFirmware'(line=3,col=8), using default value (0)"}},
        LoadCase{"Devices:\n  - 9: {IP: 192.0.2.9}\n", "|",
                 {"T|CONFIG  | Could not load 'Type'(line=2,col=8), no default."}},
        LoadCase{"Devices: ~\n", "|", {}}});
}

TEST(Reload, SectionsMissingFromTheServiceKeepTheirValuesWhileBoardsAreReplaced)
{
    WriteConfig("tavo", "tavo:\n  BootP: {RxPort: 1, TxPort: 2}\n  Interfaces: [192.0.2.1]\n"
                        "  tftp: {Port: 3, AlternativePath: /srv}\n  Firmwares: [a: b]\n");
    WriteConfig("devices", "Devices:\n" BOARD(1, "NDX", "192.0.2.1", 5));
    config::TAVOCfg cfg;
    config::TAVODevs devs;
    config::KConfigReloader::Reload(cfg, false);
    config::KConfigReloader::Reload(devs, false);
    WriteConfig("tavo", "tavo:\n  tftp: {Port: 4}\n");
    WriteConfig("devices", "Devices:\n" BOARD(2, "NDX", "192.0.2.2", 0));
    config::KConfigReloader::Reload(cfg, false);
    config::KConfigReloader::Reload(devs, false);
    EXPECT_EQ(Dump(cfg.Copy()), "1 2 [192.0.2.1,] 4 '/srv' {a:b,}");
    EXPECT_EQ(Dump(devs.Copy()), "2=192.0.2.2/0/f/0 |");
}

struct FailureCase {
    const char* file; // "tavo", "devices" or a probe's
    const char* yaml; // nullptr: no file
    const char* error;
    int line = 0; // the position the exception carries, 0 for none
    int column = 0;
};

void ExpectFailure(const FailureCase& c)
{
    SCOPED_TRACE(c.yaml ? c.yaml : "(no file)");
    const std::string file = c.file;
    WriteConfig(file, file == "tavo"      ? "tavo:\n  BootP: {RxPort: 1, TxPort: 2}\n"
                      : file == "devices" ? "Devices:\n  - 1: {Type: NDX, IP: 192.0.2.1}\n"
                                          : "probe: {Value: 7}\n");
    ProbeConfig probe(c.file);
    config::TAVOCfg cfg;
    config::TAVODevs devs;
    config::KReloadable& object = file == "tavo" ? static_cast<config::KReloadable&>(cfg)
                                  : file == "devices" ? static_cast<config::KReloadable&>(devs)
                                                      : probe;
    config::KConfigReloader::Reload(object, false);
    auto state = [&] { return std::to_string(probe.value) + Dump(cfg.Copy()) + Dump(devs.Copy()); };
    const std::string before = state();

    if (c.yaml)
        WriteConfig(file, c.yaml);
    else
        RemoveConfig(file);
    LogWatch log(BasekitLog());
    try {
        config::KConfigReloader::Reload(object, false);
        ADD_FAILURE() << "loaded";
    } catch (const config::KConfigLoadError& e) {
        EXPECT_STREQ(e.what(), c.error);
        EXPECT_EQ(e.GetPath(), "/etc/varnel//config/" + file + ".yaml");
        EXPECT_EQ(e.GetLine(), c.line);
        EXPECT_EQ(e.GetColumn(), c.column);
    }
    EXPECT_EQ(state(), before);
    Lines warnings; // the trace lines of keys read before the failure aside
    for (const std::string& message : log.Messages())
        if (message[0] != 'T')
            warnings.push_back(message);
    EXPECT_EQ(warnings, Lines{std::string("W|CONFIG  | ") + c.error});
}

#define PROBE_FAILURE "Failure loading configuration from file[probe.yaml:probe"
#define SERVICE_FAILURE "Failure loading configuration from file[tavo.yaml:tavo"
#define DEVICES_FAILURE "Failure loading configuration from file[devices.yaml:Devices"

TEST(LoadFailure, WarnsThrowsWithThePositionAndKeepsThePreviousObject)
{
    const FailureCase cases[] = {
        // a '%' in the texts is carried, not expanded
        FailureCase{"p%sq", nullptr, "Could not open file[/etc/varnel//config/p%sq.yaml](p%sq.yaml:probe)"},
        FailureCase{"probe", "probe:\n  Value: 13\n", "13 is unlucky(probe.yaml:probe)"},
        FailureCase{"probe", "probe:\n  Value: [1,\n", PROBE_FAILURE "(line=3,col=1)]msg[end of sequence flow not found]",
                    3, 1},
        // a broken document before the one that holds the object hides it
        FailureCase{"probe", "other: [1,\n---\nprobe: {Value: 7}\n",
                    PROBE_FAILURE "(line=2,col=1)]msg[end of sequence flow not found]", 2, 1},
        // a stray flow entry where a document starts: yaml-cpp would return empty documents for ever
        FailureCase{"tavo", ", a\n", SERVICE_FAILURE "(line=1,col=1)]msg[no progress parsing the next document]", 1, 1},
        FailureCase{"tavo", "tavo: [1]\n", SERVICE_FAILURE "(line=1,col=7)]msg[a map was expected here]", 1, 7},
        FailureCase{"tavo", "tavo:\n  Interfaces: {a: b}\n",
                    SERVICE_FAILURE "(line=2,col=15)]msg[a sequence was expected here]", 2, 15},
        FailureCase{"tavo", "tavo:\n  Interfaces: [[a]]\n", SERVICE_FAILURE "(line=2,col=16)]msg[bad conversion]", 2, 16},
        FailureCase{"devices", "Devices:\n  - 4294967296: {Type: NDX}\n",
                    DEVICES_FAILURE "(line=2,col=5)]msg[bad conversion]", 2, 5},
        FailureCase{"devices", "Devices: {1: {Type: NDX}}\n",
                    DEVICES_FAILURE "(line=1,col=10)]msg[a sequence was expected here]", 1, 10}};
    for (const FailureCase& c : cases)
        ExpectFailure(c);
}

using ProbeSingleton = config::KConfig<ProbeConfig, 0>;
using OtherProbeSingleton = config::KConfig<ProbeConfig, 1>; // a second singleton of the same class

TEST(ConfigLoad, InstanceLoadsOnceReloadsOnRequestAndKeepsAnObjectWhoseFirstLoadFailed)
{
    WriteConfig("probe", "probe: {Value: 7}\n");
    ProbeConfig* probe = ProbeSingleton::instance();
    EXPECT_EQ(probe->value, 7u);
    WriteConfig("probe", "probe: {Value: 8}\n");
    EXPECT_EQ(ProbeSingleton::instance(), probe);
    EXPECT_EQ(probe->value, 7u);
    EXPECT_EQ(ProbeSingleton::instance(true)->value, 8u);

    RemoveConfig("probe");
    EXPECT_THROW(OtherProbeSingleton::instance(), KTemplateException<config::KReloadable>);
    ProbeConfig* other = OtherProbeSingleton::instance();
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(other->value, 5u);
}

} // namespace
