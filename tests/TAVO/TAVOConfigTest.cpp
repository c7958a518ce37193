// The service configuration (tavo.yaml) and the devices configuration (devices.yaml).
#include <gtest/gtest.h>

#include "Basekit/KBaseException.h"
#include "Tools/TAVO/KConfigReloader.h"
#include "Tools/TAVO/TAVOCfg.h"
#include "Tools/TAVO/TAVODevs.h"
#include "tests/TAVO/ConfigTestSupport.h"

using configtest::LogWatch;
using configtest::WriteConfig;
using Lines = std::vector<std::string>;

namespace {

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
std::ostream& operator<<(std::ostream& os, const LoadCase& c) { return os << c.yaml; }

class ServiceLoad : public ::testing::TestWithParam<LoadCase> {};

TEST_P(ServiceLoad, ReadsSettingsWithDefaultsAndMessages)
{
    WriteConfig("tavo", GetParam().yaml);
    config::TAVOCfg cfg;
    LogWatch log;
    config::KConfigReloader::Reload(cfg, false);
    EXPECT_EQ(Dump(cfg.Copy()), GetParam().expected);
    EXPECT_EQ(log.Messages(), GetParam().messages);
}

INSTANTIATE_TEST_SUITE_P(Cases, ServiceLoad, ::testing::Values(
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
             "  BootP: {RxPort: abc}\n"
             "  Interfaces: []\n"
             "  TFTP: {Port: 1069}\n"                        // section names are case-sensitive
             "  Firmwares: ~\n",
             "14102 14103 [] 69 '' {}",
             {"T|CONFIG  | Could not load 'RxPort'(line=2,col=10) using default value (14102).",
              "T|CONFIG  | Could not load 'TxPort'(line=2,col=10) using default value (14103).",
              "T|CONFIG  | Could not load 'tftp'(line=2,col=3), no default."}},
    LoadCase{"tavo:\n  tftp: {Port: 1069}\n  Interfaces: [192.0.2.1]\n  BootP: {RxPort: 1, TxPort: 2}\n"
             "  Firmwares: []\n",
             "1 2 [192.0.2.1,] 1069 '' {}",
             {"T|CONFIG  | Could not load 'AlternativePath'(line=2,col=9), no default."}}));

TEST(ServiceConfig, MissingSectionsKeepPreviousValues)
{
    WriteConfig("tavo", "tavo:\n  BootP: {RxPort: 1, TxPort: 2}\n  Interfaces: [192.0.2.1]\n"
                        "  tftp: {Port: 3, AlternativePath: /srv}\n  Firmwares: [a: b]\n");
    config::TAVOCfg cfg;
    config::KConfigReloader::Reload(cfg, false);
    WriteConfig("tavo", "tavo:\n  tftp: {Port: 4}\n");
    config::KConfigReloader::Reload(cfg, false);
    EXPECT_EQ(Dump(cfg.Copy()), "1 2 [192.0.2.1,] 4 '/srv' {a:b,}");
}

struct FailureCase {
    const char* file;
    const char* yaml; // nullptr: no file
    const char* error;
};
std::ostream& operator<<(std::ostream& os, const FailureCase& c) { return os << (c.yaml ? c.yaml : "(no file)"); }

class BrokenFile : public ::testing::TestWithParam<FailureCase> {};

TEST_P(BrokenFile, WarnsAndKeepsPreviousConfiguration)
{
    const FailureCase& c = GetParam();
    WriteConfig("tavo", "tavo:\n  BootP: {RxPort: 1, TxPort: 2}\n");
    WriteConfig("devices", "Devices:\n  - 1: {Type: NDX, IP: 192.0.2.1}\n");
    config::TAVOCfg cfg;
    config::TAVODevs devs;
    config::KReloadable& object = std::string(c.file) == "tavo" ? static_cast<config::KReloadable&>(cfg) : devs;
    config::KConfigReloader::Reload(object, false);
    const std::string before = Dump(cfg.Copy()) + Dump(devs.Copy());

    if (c.yaml)
        WriteConfig(c.file, c.yaml);
    else
        configtest::RemoveConfig(c.file);
    LogWatch log;
    try {
        config::KConfigReloader::Reload(object, false);
        ADD_FAILURE() << "loaded";
    } catch (const KTemplateException<config::KReloadable>& e) {
        EXPECT_STREQ(e.what(), c.error);
    }
    EXPECT_EQ(Dump(cfg.Copy()) + Dump(devs.Copy()), before);
    Lines warnings; // the trace lines of keys read before the failure aside
    for (const std::string& message : log.Messages())
        if (message[0] != 'T')
            warnings.push_back(message);
    EXPECT_EQ(warnings, Lines{std::string("W|CONFIG  | ") + c.error});
}

#define SERVICE_FAILURE "Failure loading configuration from file[tavo.yaml:tavo"
#define DEVICES_FAILURE "Failure loading configuration from file[devices.yaml:Devices"

INSTANTIATE_TEST_SUITE_P(Cases, BrokenFile, ::testing::Values(
    FailureCase{"tavo", "tavo:\n  BootP:\n    RxPort: 1\n    TxPort: 2\n  tftp: a: b\n",
                SERVICE_FAILURE "(line=5,col=10)]msg[illegal map value]"},
    // a stray flow entry where a document starts: yaml-cpp would return empty documents for ever
    FailureCase{"tavo", ", a\n", SERVICE_FAILURE "(line=1,col=1)]msg[no progress parsing the next document]"},
    FailureCase{"tavo", "tavo: [1]\n", SERVICE_FAILURE "(line=1,col=7)]msg[a map was expected here]"},
    FailureCase{"tavo", "tavo:\n  tftp: 5\n", SERVICE_FAILURE "(line=2,col=9)]msg[a map was expected here]"},
    FailureCase{"tavo", "tavo:\n  Interfaces: {a: b}\n",
                SERVICE_FAILURE "(line=2,col=15)]msg[a sequence was expected here]"},
    FailureCase{"tavo", "tavo:\n  Interfaces: [[a]]\n", SERVICE_FAILURE "(line=2,col=16)]msg[bad conversion]"},
    FailureCase{"tavo", "tavo:\n  Firmwares: [a]\n", SERVICE_FAILURE "(line=2,col=15)]msg[a map was expected here]"},
    FailureCase{"tavo", "tavo:\n  tftp: {AlternativePath: [a]}\n",
                SERVICE_FAILURE "(line=2,col=27)]msg[bad conversion]"},
    FailureCase{"devices", "Devices:\n  - 4294967296: {Type: NDX}\n",
                DEVICES_FAILURE "(line=2,col=5)]msg[bad conversion]"},
    FailureCase{"devices", "Devices: {1: {Type: NDX}}\n",
                DEVICES_FAILURE "(line=1,col=10)]msg[a sequence was expected here]"},
    FailureCase{"devices", "Devices:\n  - 5\n", DEVICES_FAILURE "(line=2,col=5)]msg[a map was expected here]"},
    FailureCase{"devices", "Devices:\n  - 5: {Type: NDX, IP: {a: b}}\n",
                DEVICES_FAILURE "(line=2,col=24)]msg[bad conversion]"},
    FailureCase{"devices", "devices: []\n",
                "Could not find document 'Devices' in file 'devices.yaml'(devices.yaml:Devices)"}));

class DevicesLoad : public ::testing::TestWithParam<LoadCase> {};

TEST_P(DevicesLoad, ReadsBoardsAndReplacements)
{
    WriteConfig("devices", GetParam().yaml);
    config::TAVODevs devs;
    LogWatch log;
    config::KConfigReloader::Reload(devs, false);
    EXPECT_EQ(Dump(devs.Copy()), GetParam().expected);
    EXPECT_EQ(log.Messages(), GetParam().messages);
}

// Entries with every key, so that only the lines under test write messages.
#define BOARD(serial, type, ip, replacer) \
    "  - " #serial ": {Type: " type ", IP: " ip ", Replacer: " #replacer ", Firmware: f, SetNewFirmware: no}\n"

INSTANTIATE_TEST_SUITE_P(Cases, DevicesLoad, ::testing::Values(
    // the same serial twice: the second entry wins (its replacement was already recorded)
    LoadCase{"Devices:\n" BOARD(7, "NDX", "192.0.2.1", 100) BOARD(7, "NDX", "192.0.2.2", 0),
             "7=192.0.2.2/0/f/0 | 100>7", {}},
    // the same replacement board twice: the first configured board keeps it
    LoadCase{"Devices:\n" BOARD(1, "NDX", "192.0.2.1", 100) BOARD(2, "NDX", "192.0.2.2", 100),
             "1=192.0.2.1/100/f/0 2=192.0.2.2/100/f/0 | 100>1", {}},
    // several boards in one element; another product between them changes nothing
    LoadCase{"Devices:\n  - 1: {Type: NDX, IP: 192.0.2.1, Replacer: 9, Firmware: a.bin, SetNewFirmware: yes}\n"
             "    2: {Type: ABC, IP: 192.0.2.99, Replacer: 8}\n"
             "    3: {Type: NDX, IP: 192.0.2.3, Replacer: 0, Firmware: b, SetNewFirmware: no}\n",
             "1=192.0.2.1/9/a.bin/1 3=192.0.2.3/0/b/0 | 9>1", {}},
    // without "IP" a board gets no address, never the one of the board before it
    LoadCase{"Devices:\n" BOARD(1, "NDX", "192.0.2.1", 0) "  - 9: {Type: NDX}\n",
             "1=192.0.2.1/0/f/0 9=/0//0 |",
             {"T|CFG-OPT | Could not load optional config 'Replacer'(line=3,col=8), using default value (0)",
              "T|CONFIG  | Could not load 'IP'(line=3,col=8), no default.",
              "T|CFG-OPT | Could not load optional config 'Firmware'(line=3,col=8), using default value ()",
              "T|CFG-OPT | Could not load optional config 'SetNewFirmware'(line=3,col=8), using default value (0)"}},
    LoadCase{"Devices:\n  - 9: {IP: 192.0.2.9}\n", "|",
             {"T|CONFIG  | Could not load 'Type'(line=2,col=8), no default."}},
    LoadCase{"Devices: ~\n", "|", {}}));

TEST(DevicesConfig, ReloadReplacesTheBoards)
{
    WriteConfig("devices", "Devices:\n" BOARD(1, "NDX", "192.0.2.1", 5));
    config::TAVODevs devs;
    config::KConfigReloader::Reload(devs, false);
    WriteConfig("devices", "Devices:\n" BOARD(2, "NDX", "192.0.2.2", 0));
    config::KConfigReloader::Reload(devs, false);
    EXPECT_EQ(Dump(devs.Copy()), "2=192.0.2.2/0/f/0 |");
}

} // namespace
