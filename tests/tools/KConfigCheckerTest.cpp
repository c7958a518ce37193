// The configuration checker's own findings, as "file:line:column: message", and the daemon's
// rules for system.yaml's ports, placed by the position their exception carries. (The rules it
// shares with the daemon and the loader's errors have their own tables.)
#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/TestKit.h"
#include "tools/KConfigChecker.h"

namespace {

// A working configuration: two boards on 192.0.2.0/24, one booting a mapped firmware.
const char* const GoodTavo = "tavo:\n"
                             "  BootP: {RxPort: 14102, TxPort: 14103}\n"
                             "  Interfaces: [192.0.2.1]\n"
                             "  tftp: {Port: 69, AlternativePath: ~}\n"
                             "  Firmwares: [boot.bin: fw_v2.bin]\n"
                             "  Metrics: {HttpPort: 9712}\n";
const char* const GoodDevices =
    "Devices:\n"
    "  - 1193046: {Type: NDX-E1, IP: 192.0.2.50, Replacer: 0, Firmware: boot.bin, SetNewFirmware: true}\n"
    "  - 1193047: {Type: NDX-FXS, IP: 192.0.2.51}\n";
// The audio range holds the 100 ports the boards need at least.
const char* const GoodSystem = "Network:\n  MediaServerAddress: 192.0.2.1\n  AudioStreamingMinPort: 17000\n"
                               "  AudioStreamingMaxPort: 17100\nInternalConfigs:\n  NdxBuffer: 7\n";

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
    std::map<std::string, std::string> Files; // relative to the installation; "" for no file
    std::vector<std::string> Expected;        // "file:line:column: " and the start of the message
    bool HostChecks = true;
};

const KCase Cases[] = {
    {"Clean", {}, {}},
    {"BoardOutsideEveryServedSubnet", {{"config/devices.yaml", Devices("IP: 192.0.2.51", "IP: 198.51.100.9")}},
     {"devices.yaml:3:34: board 1193047: address 198.51.100.9 is outside every served interface's subnet"}},
    {"BoardGivenTheHostsOwnAddress", {{"config/devices.yaml", Devices("IP: 192.0.2.51", "IP: 192.0.2.1")}},
     {"devices.yaml:3:34: board 1193047: address 192.0.2.1 belongs to this host"}},
    {"ReplacerThatIsItselfConfigured", {{"config/devices.yaml", Devices("Replacer: 0", "Replacer: 1193047")}},
     {"devices.yaml:2:55: replacer 1193047 of board 1193046 is itself configured"}},
    {"ReplacerClaimedByTwoBoards",
     {{"config/devices.yaml", Replace(Devices("Replacer: 0", "Replacer: 1193099"), "IP: 192.0.2.51}",
                                      "IP: 192.0.2.51, Replacer: 1193099}")}},
     {"devices.yaml:3:56: replacer 1193099 already replaces board 1193046; this one of board 1193047 is ignored"}},
    {"SerialThatNoBoardCanHave", {{"config/devices.yaml", Devices("1193047:", "16777216:")}},
     {"devices.yaml:3:5: board serial 16777216 can never boot"}},
    {"SerialConfiguredTwice", {{"config/devices.yaml", Devices("1193047:", "1193046:")}},
     {"devices.yaml:3:5: board 1193046 is configured again; this entry replaces the one at line 2"}},
    {"NewFirmwareWithoutName", {{"config/devices.yaml", Devices(", Firmware: boot.bin", "")}},
     {"devices.yaml:2:5: board 1193046: SetNewFirmware is set but Firmware is empty"}},
    {"UnknownBoardKeyLeavesTheBoardWithoutAddress", {{"config/devices.yaml", Devices("IP: 192.0.2.51", "Ip: 192.0.2.51")}},
     {"devices.yaml:3:5: board 1193047 has no IP address",
      "devices.yaml:3:30: unknown key 'Ip' in board 1193047 is ignored; keys are case-sensitive: 'IP'"}},
    {"MappingToAMissingFile", {{"config/tavo.yaml", Tavo("boot.bin: fw_v2.bin", "boot.bin: gone.bin")}},
     {"devices.yaml:2:68: board 1193046: firmware 'boot.bin' (mapped to 'gone.bin') is not in the firmware directory",
      "tavo.yaml:5:15: Firmwares maps 'boot.bin' to 'gone.bin', which is not in the firmware directory"}},
    {"PortsOutOfRangeAndColliding",
     {{"config/tavo.yaml", Replace(Tavo("RxPort: 14102", "RxPort: 70000"), "Port: 69", "Port: 14103")}},
     {"tavo.yaml:2:19: BootP RxPort 70000 is not a valid port (1-65535)",
      "tavo.yaml:4:16: tftp Port 14103 collides with BootP TxPort"}},
    {"MetricsPortOutOfRange", {{"config/tavo.yaml", Tavo("9712", "70000")}},
     {"tavo.yaml:6:23: Metrics HttpPort 70000 is not a valid port (1-65535, or 0 for off)"}},
    {"MetricsPortNotANumber", {{"config/tavo.yaml", Tavo("9712", "nine")}},
     {"tavo.yaml:6:23: Metrics HttpPort nine is not a valid port (1-65535, or 0 for off)"}},
    {"InterfaceThatIsNotOnTheHost", {{"config/tavo.yaml", Tavo("[192.0.2.1]", "[192.0.2.9]")}},
     {"tavo.yaml:3:3: no interface to serve",
      "tavo.yaml:3:16: interface address 192.0.2.9 is not a broadcast-capable IPv4 address of this host"}},
    {"MisspelledSectionKeepsItsDefaults", {{"config/tavo.yaml", Tavo("  tftp:", "  TFTP:")}},
     {"tavo.yaml:4:3: unknown key 'TFTP' in tavo is ignored; keys are case-sensitive: 'tftp'"}},
    {"DaemonLoadErrorAtItsPosition",
     {{"config/system.yaml", Replace(GoodSystem, "InternalConfigs:", "  LocalAudioPort: 0\nInternalConfigs:")}},
     {"system.yaml:5:3: LocalAudioPort value(0) is not a valid port (1-65535)"}},
    {"PortAboveTheRange",
     {{"config/system.yaml", Replace(GoodSystem, "InternalConfigs:", "  T8WSnmpPort: 65536\nInternalConfigs:")}},
     {"system.yaml:5:3: T8WSnmpPort value(65536) is not a valid port (1-65535)"}},
    {"AudioRangeOf99", {{"config/system.yaml", Replace(GoodSystem, "17100", "17099")}},
     {"system.yaml:0:0: Real time audio port range is invalid (Min=17000, Max=17099)"}},
    {"AudioRangeReversed", {{"config/system.yaml", Replace(GoodSystem, "17000", "18000")}},
     {"system.yaml:0:0: Real time audio port range is invalid (Min=18000, Max=17100)"}},
    {"FirmwareDirectoryMissing", {{"data/am17/fw_v2.bin", ""}}, {"am17:0:0: firmware directory does not exist"}},
    // Unserved interface, a board off every subnet and a missing mapped file are left out;
    // two boards with one address are wrong on any host.
    {"WithoutHostChecksWhatIsWrongEverywhere",
     {{"config/tavo.yaml", Tavo("[192.0.2.1]", "[192.0.2.9]")}, {"data/am17/fw_v2.bin", ""}, {"data/am17/x", "x"},
      {"config/devices.yaml", Devices("IP: 192.0.2.51", "IP: 192.0.2.50")}},
     {"devices.yaml:3:34: board 1193047 has the address 192.0.2.50 of board 1193046"}, false},
};

TEST(KConfigChecker, FindsExactlyTheExpectedProblems)
{
    for (const KCase& c : Cases) {
        SCOPED_TRACE(c.Name);
        // An installation of its own: the working files with the case's written over them.
        const std::string root = std::string("/var/tmp/check/") + c.Name + "/";
        std::map<std::string, std::string> files = {{"config/tavo.yaml", GoodTavo},
                                                    {"config/devices.yaml", GoodDevices},
                                                    {"config/system.yaml", GoodSystem},
                                                    {"data/am17/fw_v2.bin", "image"}};
        for (const auto& [relative, text] : c.Files)
            files[relative] = text;
        for (const auto& [relative, text] : files)
            if (!text.empty())
                testkit::WriteFile(root + relative, text);
        KConfigChecker checker(root + "config", root + "data/am17");
        KNETInterfaceEx host;
        host.Address = "192.0.2.1";
        host.NetMask = "255.255.255.0";
        host.BroadCast = "192.0.2.255";
        checker.SetHostInterfaces({host});
        if (!c.HostChecks)
            checker.SkipHostChecks();

        std::vector<std::string> found; // the texts with the installation's directories cut off
        for (const KConfigProblem& p : checker.Check())
            found.push_back(p.Text().substr(p.File.find_last_of('/') + 1));
        ASSERT_EQ(found.size(), c.Expected.size()) << ::testing::PrintToString(found);
        for (std::size_t i = 0; i < found.size(); ++i)
            EXPECT_EQ(found[i].substr(0, c.Expected[i].size()), c.Expected[i]);
    }
}

} // namespace
