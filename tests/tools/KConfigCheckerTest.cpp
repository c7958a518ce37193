// The configuration checker's own findings, as "file:line:column: message", and one daemon
// load error placed by the position its exception carries. (The rules it shares with the
// daemon and the loader's errors have their own tables.)
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <stdexcept>
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

const char* const GoodSystem = "Network:\n  MediaServerAddress: 192.0.2.1\nInternalConfigs:\n  NdxBuffer: 7\n";

std::string Replace(std::string text, const std::string& from, const std::string& to)
{
    const std::size_t at = text.find(from);
    if (at == std::string::npos)
        throw std::logic_error("test text not found: " + from);
    return text.replace(at, from.size(), to);
}

std::string Devices(const std::string& from, const std::string& to) { return Replace(GoodDevices, from, to); }
std::string Tavo(const std::string& from, const std::string& to) { return Replace(GoodTavo, from, to); }

struct KCase {
    const char* Name;
    std::map<std::string, std::string> Files; // relative to the installation; "" removes the path
    std::vector<std::string> Expected;        // "file:line:column: " and the start of the message
};

const KCase Cases[] = {
    {"Clean", {}, {}},
    {"TwoBoardsWithOneAddress", {{"config/devices.yaml", Devices("IP: 192.0.2.51", "IP: 192.0.2.50")}},
     {"devices.yaml:10:11: board 1193047 has the address 192.0.2.50 of board 1193046"}},
    {"BoardOutsideEveryServedSubnet", {{"config/devices.yaml", Devices("IP: 192.0.2.51", "IP: 198.51.100.9")}},
     {"devices.yaml:10:11: board 1193047: address 198.51.100.9 is outside every served interface's subnet"}},
    {"BoardGivenTheHostsOwnAddress", {{"config/devices.yaml", Devices("IP: 192.0.2.51", "IP: 192.0.2.1")}},
     {"devices.yaml:10:11: board 1193047: address 192.0.2.1 belongs to this host"}},
    {"ReplacerThatIsItselfConfigured", {{"config/devices.yaml", Devices("Replacer: 0", "Replacer: 1193047")}},
     {"devices.yaml:5:17: replacer 1193047 of board 1193046 is itself configured"}},
    {"ReplacerClaimedByTwoBoards",
     {{"config/devices.yaml", Replace(Devices("Replacer: 0", "Replacer: 1193099"), "IP: 192.0.2.51\n",
                                      "IP: 192.0.2.51\n      Replacer: 1193099\n")}},
     {"devices.yaml:11:17: replacer 1193099 already replaces board 1193046; this one of board 1193047 is ignored"}},
    {"SerialThatNoBoardCanHave", {{"config/devices.yaml", Devices("1193047:", "16777216:")}},
     {"devices.yaml:8:5: board serial 16777216 can never boot"}},
    {"SerialConfiguredTwice", {{"config/devices.yaml", Devices("1193047:", "1193046:")}},
     {"devices.yaml:8:5: board 1193046 is configured again; this entry replaces the one at line 2"}},
    {"NewFirmwareWithoutName", {{"config/devices.yaml", Devices("      Firmware: boot.bin\n", "")}},
     {"devices.yaml:2:5: board 1193046: SetNewFirmware is set but Firmware is empty"}},
    {"UnknownBoardKeyLeavesTheBoardWithoutAddress", {{"config/devices.yaml", Devices("IP: 192.0.2.51", "Ip: 192.0.2.51")}},
     {"devices.yaml:8:5: board 1193047 has no IP address",
      "devices.yaml:10:7: unknown key 'Ip' in board 1193047 is ignored; keys are case-sensitive: 'IP'"}},
    {"MappingToAMissingFile", {{"config/tavo.yaml", Tavo("boot.bin: fw_v2.bin", "boot.bin: gone.bin")}},
     {"devices.yaml:6:17: board 1193046: firmware 'boot.bin' (mapped to 'gone.bin') is not in the firmware directory",
      "tavo.yaml:11:7: Firmwares maps 'boot.bin' to 'gone.bin', which is not in the firmware directory"}},
    {"PortsOutOfRangeAndColliding",
     {{"config/tavo.yaml", Replace(Tavo("RxPort: 14102", "RxPort: 70000"), "Port: 69", "Port: 14103")}},
     {"tavo.yaml:3:13: BootP RxPort 70000 is not a valid port (1-65535)",
      "tavo.yaml:8:11: tftp Port 14103 collides with BootP TxPort"}},
    {"InterfaceThatIsNotOnTheHost", {{"config/tavo.yaml", Tavo("- 192.0.2.1", "- 192.0.2.9")}},
     {"tavo.yaml:5:3: no interface to serve",
      "tavo.yaml:6:7: interface address 192.0.2.9 is not a broadcast-capable IPv4 address of this host"}},
    {"MisspelledSectionKeepsItsDefaults", {{"config/tavo.yaml", Tavo("  tftp:", "  TFTP:")}},
     {"tavo.yaml:7:3: unknown key 'TFTP' in tavo is ignored; keys are case-sensitive: 'tftp'"}},
    {"DaemonLoadErrorAtItsPosition",
     {{"config/system.yaml", Replace(GoodSystem, "InternalConfigs:", "  LocalAudioPort: 0\nInternalConfigs:")}},
     {"system.yaml:3:3: LocalAudioPort value(0) is not a valid port (1-65535)"}},
    {"FirmwareDirectoryMissing", {{"data/am17", ""}}, {"am17:0:0: firmware directory does not exist"}},
};

// A fresh installation directory holding the working configuration; removed at the end.
class Installation {
public:
    Installation()
    {
        char pattern[] = "/tmp/tavo-check-XXXXXX";
        if (!mkdtemp(pattern))
            throw std::runtime_error("mkdtemp failed");
        Root = pattern;
        for (const char* directory : {"/config", "/data", "/data/am17"})
            mkdir((Root + directory).c_str(), 0755);
        Write("config/tavo.yaml", GoodTavo);
        Write("config/devices.yaml", GoodDevices);
        Write("config/system.yaml", GoodSystem);
        Write("data/am17/fw_v2.bin", "image");
    }
    ~Installation() { std::system(("rm -rf '" + Root + "'").c_str()); }
    Installation(const Installation&) = delete;
    Installation& operator=(const Installation&) = delete;

    void Write(const std::string& relative, const std::string& text)
    {
        if (text.empty())
            std::system(("rm -rf '" + Root + "/" + relative + "'").c_str());
        else
            std::ofstream(Root + "/" + relative, std::ios::trunc | std::ios::binary) << text;
    }

    std::string Root;
};

TEST(KConfigChecker, FindsExactlyTheExpectedProblems)
{
    for (const KCase& c : Cases) {
        SCOPED_TRACE(c.Name);
        Installation installation;
        for (const auto& [relative, text] : c.Files)
            installation.Write(relative, text);
        KConfigChecker checker(installation.Root + "/config", installation.Root + "/data/am17");
        KNETInterfaceEx host;
        host.Address = "192.0.2.1";
        host.NetMask = "255.255.255.0";
        host.BroadCast = "192.0.2.255";
        checker.SetHostInterfaces({host});

        std::vector<std::string> found; // the texts with the installation's directories cut off
        for (const KConfigProblem& p : checker.Check())
            found.push_back(p.Text().substr(p.File.find_last_of('/') + 1));
        ASSERT_EQ(found.size(), c.Expected.size()) << ::testing::PrintToString(found);
        for (std::size_t i = 0; i < found.size(); ++i)
            EXPECT_EQ(found[i].substr(0, c.Expected[i].size()), c.Expected[i]);
    }
}

} // namespace
