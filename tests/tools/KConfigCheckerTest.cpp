// The configuration checker: the daemon's own load errors with their positions, and the
// problems the daemon cannot see until a board fails to boot.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "tools/KConfigChecker.h"

namespace {

// A working configuration: two boards on 192.0.2.0/24, one booting a mapped firmware.
const char* const GoodTavo =
    "tavo:\n"                     // 1
    "  BootP:\n"                  // 2
    "    RxPort: 14102\n"         // 3
    "    TxPort: 14103\n"         // 4
    "  Interfaces:\n"             // 5
    "    - 192.0.2.1\n"           // 6
    "  tftp:\n"                   // 7
    "    Port: 69\n"              // 8
    "    AlternativePath: ~\n"    // 9
    "  Firmwares:\n"              // 10
    "    - boot.bin: fw_v2.bin\n"; // 11

const char* const GoodDevices =
    "Devices:\n"                  // 1
    "  - 1193046:\n"              // 2
    "      Type: NDX-E1\n"        // 3
    "      IP: 192.0.2.50\n"      // 4
    "      Replacer: 0\n"         // 5
    "      Firmware: boot.bin\n"  // 6
    "      SetNewFirmware: true\n" // 7
    "  - 1193047:\n"              // 8
    "      Type: NDX-FXS\n"       // 9
    "      IP: 192.0.2.51\n";     // 10

const char* const GoodSystem =
    "Network:\n"
    "  MediaServerAddress: 192.0.2.1\n"
    "InternalConfigs:\n"
    "  NdxBuffer: 7\n";

struct KExpected {
    const char* File; // base name
    int Line;
    int Column;       // -1: not checked (a position chosen by yaml-cpp's parser)
    const char* Text; // part of the message
};

struct KCase {
    const char* Name;
    std::map<std::string, std::string> Files; // relative to the installation directory; "" content removes
    std::vector<KExpected> Expected;
    bool NoFirmwareDirectory = false;
};

std::string Replace(std::string text, const std::string& from, const std::string& to)
{
    const std::size_t at = text.find(from);
    if (at == std::string::npos)
        throw std::logic_error("test text not found: " + from);
    return text.replace(at, from.size(), to);
}

const std::string LongName(128, 'f');

const KCase Cases[] = {
    {"Clean", {}, {}},
    {"TwoBoardsWithOneAddress",
     {{"config/devices.yaml", Replace(GoodDevices, "IP: 192.0.2.51", "IP: 192.0.2.50")}},
     {{"devices.yaml", 10, 11, "board 1193047 has the address 192.0.2.50 of board 1193046"}}},
    {"BoardOutsideEveryServedSubnet",
     {{"config/devices.yaml", Replace(GoodDevices, "IP: 192.0.2.51", "IP: 198.51.100.9")}},
     {{"devices.yaml", 10, 11, "board 1193047: address 198.51.100.9 is outside every served interface's subnet"}}},
    {"BoardGivenTheHostsOwnAddress",
     {{"config/devices.yaml", Replace(GoodDevices, "IP: 192.0.2.51", "IP: 192.0.2.1")}},
     {{"devices.yaml", 10, 11, "board 1193047: address 192.0.2.1 belongs to this host"}}},
    {"BoardWithoutAddress",
     {{"config/devices.yaml", Replace(GoodDevices, "      IP: 192.0.2.51\n", "")}},
     {{"devices.yaml", 8, 5, "board 1193047 has no IP address"}}},
    {"AddressThatIsNotADottedQuad",
     {{"config/devices.yaml", Replace(GoodDevices, "IP: 192.0.2.51", "IP: 192.0.2")}},
     {{"devices.yaml", 10, 11, "board 1193047: IP '192.0.2' is not an IPv4 address"}}},
    {"ReplacerThatIsItselfConfigured",
     {{"config/devices.yaml", Replace(GoodDevices, "Replacer: 0", "Replacer: 1193047")}},
     {{"devices.yaml", 5, 17, "replacer 1193047 of board 1193046 is itself configured"}}},
    {"ReplacerClaimedByTwoBoards",
     {{"config/devices.yaml", Replace(Replace(GoodDevices, "Replacer: 0", "Replacer: 1193099"),
                                      "IP: 192.0.2.51\n", "IP: 192.0.2.51\n      Replacer: 1193099\n")}},
     {{"devices.yaml", 11, 17, "replacer 1193099 already replaces board 1193046; this one of board 1193047 is ignored"}}},
    {"SerialThatNoBoardCanHave",
     {{"config/devices.yaml", Replace(GoodDevices, "1193047:", "16777216:")}},
     {{"devices.yaml", 8, 5, "board serial 16777216 can never boot"}}},
    {"SerialConfiguredTwice",
     {{"config/devices.yaml", Replace(GoodDevices, "1193047:", "1193046:")}},
     {{"devices.yaml", 8, 5, "board 1193046 is configured again; this entry replaces the one at line 2"}}},
    {"FirmwareMissingFromTheDirectory",
     {{"config/devices.yaml", Replace(GoodDevices, "Firmware: boot.bin", "Firmware: missing.bin")}},
     {{"devices.yaml", 6, 17, "board 1193046: firmware 'missing.bin' is not in the firmware directory"}}},
    {"MappingToAMissingFile",
     {{"config/tavo.yaml", Replace(GoodTavo, "boot.bin: fw_v2.bin", "boot.bin: gone.bin")}},
     {{"devices.yaml", 6, 17, "board 1193046: firmware 'boot.bin' (mapped to 'gone.bin') is not in the firmware directory"},
      {"tavo.yaml", 11, 7, "Firmwares maps 'boot.bin' to 'gone.bin', which is not in the firmware directory"}}},
    {"FirmwareNameLongerThanTheReplyField",
     {{"config/devices.yaml", Replace(GoodDevices, "Firmware: boot.bin", "Firmware: " + LongName)},
      {"data/am17/" + LongName, "image"}},
     {{"devices.yaml", 6, 17, "board 1193046: firmware name is 128 characters long; the boot reply's file field holds 127"}}},
    {"NewFirmwareWithoutName",
     {{"config/devices.yaml", Replace(GoodDevices, "      Firmware: boot.bin\n", "")}},
     {{"devices.yaml", 2, 5, "board 1193046: SetNewFirmware is set but Firmware is empty"}}},
    {"BootPortsCollide",
     {{"config/tavo.yaml", Replace(GoodTavo, "TxPort: 14103", "TxPort: 14102")}},
     {{"tavo.yaml", 4, 13, "BootP TxPort 14102 collides with BootP RxPort"}}},
    {"AlternativeServiceLeavesTheTftpPortUnused",
     {{"config/tavo.yaml", Replace(Replace(GoodTavo, "Port: 69", "Port: 37"), "AlternativePath: ~",
                                   "AlternativePath: /srv/tftp")}},
     {}},
    {"PortOutOfRange",
     {{"config/tavo.yaml", Replace(GoodTavo, "RxPort: 14102", "RxPort: 70000")}},
     {{"tavo.yaml", 3, 13, "BootP RxPort 70000 is not a valid port (1-65535)"}}},
    {"InterfaceThatIsNotOnTheHost",
     {{"config/tavo.yaml", Replace(GoodTavo, "- 192.0.2.1", "- 192.0.2.9")}},
     {{"tavo.yaml", 5, 3, "no interface to serve"},
      {"tavo.yaml", 6, 7, "interface address 192.0.2.9 is not a broadcast-capable IPv4 address of this host"}}},
    {"DaemonRejectsASyntaxError",
     {{"config/devices.yaml", "Devices:\n  - 1193046: {Type: NDX, IP: 192.0.2.50\n  - 2: x\n"}},
     {{"devices.yaml", 3, -1, "Failure loading configuration from file[devices.yaml:Devices(line=3"}}},
    {"DaemonNeedsTheServiceFile",
     {{"config/tavo.yaml", ""}},
     {{"tavo.yaml", 0, 0, "Could not open file["}}},
    {"DaemonRejectsAnInvalidBoardPort",
     {{"config/system.yaml", Replace(GoodSystem, "  MediaServerAddress: 192.0.2.1\n",
                                     "  MediaServerAddress: 192.0.2.1\n  LocalAudioPort: 0\n")}},
     {{"system.yaml", 3, 3, "LocalAudioPort value(0) is not a valid port (1-65535)"}}},
    {"MisspelledSectionKeepsItsDefaults",
     {{"config/tavo.yaml", Replace(GoodTavo, "  tftp:", "  TFTP:")}},
     {{"tavo.yaml", 7, 3, "unknown key 'TFTP' in tavo is ignored; keys are case-sensitive: 'tftp'"}}},
    {"UnknownBoardKey",
     {{"config/devices.yaml", Replace(GoodDevices, "IP: 192.0.2.51", "Ip: 192.0.2.51")}},
     // the board then has no address either
     {{"devices.yaml", 8, 5, "board 1193047 has no IP address"},
      {"devices.yaml", 10, 7, "unknown key 'Ip' in board 1193047 is ignored; keys are case-sensitive: 'IP'"}}},
    {"UnknownBoardSetting",
     {{"config/system.yaml", std::string(GoodSystem) + "  NdxBuffers: 9\n"}},
     {{"system.yaml", 5, 3, "unknown key 'NdxBuffers' in InternalConfigs is ignored"}}},
    {"EntryWithoutTypeIsIgnored",
     {{"config/devices.yaml", Replace(GoodDevices, "      Type: NDX-FXS\n", "")}},
     {{"devices.yaml", 8, 5, "entry 1193047 has no Type and is ignored"}}},
    {"FirmwareDirectoryMissing",
     {},
     {{"am17", 0, 0, "firmware directory does not exist"}},
     true},
};

class KConfigCheckerTest : public ::testing::TestWithParam<KCase> {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/tavo-check-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        Root = pattern;
        ASSERT_EQ(mkdir((Root + "/config").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((Root + "/data").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((Root + "/data/am17").c_str(), 0755), 0);
        Write("config/tavo.yaml", GoodTavo);
        Write("config/devices.yaml", GoodDevices);
        Write("config/system.yaml", GoodSystem);
        Write("data/am17/fw_v2.bin", "image");
    }
    void TearDown() override { std::system(("rm -rf '" + Root + "'").c_str()); }

    void Write(const std::string& relative, const std::string& text)
    {
        std::ofstream out(Root + "/" + relative, std::ios::trunc | std::ios::binary);
        out << text;
    }

    void Apply(const std::map<std::string, std::string>& files)
    {
        for (const auto& [relative, text] : files)
            if (text.empty())
                std::remove((Root + "/" + relative).c_str());
            else
                Write(relative, text);
    }

    std::string Root;
};

std::string Basename(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

TEST_P(KConfigCheckerTest, FindsExactlyTheExpectedProblems)
{
    const KCase& c = GetParam();
    Apply(c.Files);
    if (c.NoFirmwareDirectory)
        std::system(("rm -rf '" + Root + "/data/am17'").c_str());
    KConfigChecker checker(Root + "/config", Root + "/data/am17");
    KNETInterfaceEx host;
    host.Address = "192.0.2.1";
    host.NetMask = "255.255.255.0";
    host.BroadCast = "192.0.2.255";
    checker.SetHostInterfaces({host});

    const std::vector<KConfigProblem> problems = checker.Check();

    std::string all;
    for (const KConfigProblem& p : problems)
        all += p.Text() + "\n";
    ASSERT_EQ(problems.size(), c.Expected.size()) << all;
    for (std::size_t i = 0; i < problems.size(); ++i) {
        const KExpected& e = c.Expected[i];
        EXPECT_EQ(Basename(problems[i].File), e.File) << all;
        if (e.Line >= 0) {
            EXPECT_EQ(problems[i].Line, e.Line) << all;
        }
        if (e.Column >= 0) {
            EXPECT_EQ(problems[i].Column, e.Column) << all;
        }
        EXPECT_NE(problems[i].Message.find(e.Text), std::string::npos) << all;
    }
}

INSTANTIATE_TEST_SUITE_P(Configurations, KConfigCheckerTest, ::testing::ValuesIn(Cases),
                         [](const ::testing::TestParamInfo<KCase>& param) { return param.param.Name; });

} // namespace
