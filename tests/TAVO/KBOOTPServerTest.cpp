// The BOOTP server for what the daemon's BOOTP tests cannot reach (a fake tick for the 15-minute
// rule, start and stop codes, a port already taken, the boot file field's exact limit, a broken
// devices file, an in-place rewrite of it). The host side is the test's own network namespace
// (192.0.2.1/24 on tvh0), the board lives in the namespace "tvboard" behind a veth pair and
// listens on 0.0.0.0:14103 like a real board.
#include <gtest/gtest.h>

#include <fstream>
#include <mutex>
#include <unistd.h>

#include "Tools/TAVO/KBOOTPServer.h"
#include "Tools/TAVO/KNETInterface.h"
#include "tests/TAVO/BOOTPTestKit.h"

namespace {

using namespace bootptest;
using Bytes = std::vector<unsigned char>;

const unsigned int Board = 4660;       // 0x001234, configured at 192.0.2.50
const unsigned int FirmwareBoard = 4661; // 0x001235, configured at 192.0.2.51 with a new firmware

const char* const DevicesYaml = "Devices:\n"
                                "  - 4660: {Type: NDX_V2, IP: 192.0.2.50, Replacer: 4761}\n"
                                "  - 4661: {Type: NDX_V2, IP: 192.0.2.51, SetNewFirmware: true, Firmware: fw_v2.bin}\n"
                                "  - 4662: {Type: NDX_V2, IP: 203.0.113.5}\n";

class RecordingNotifier : public KBOOTPNotifier {
public:
    void ClientStatus(const std::string& client, KBOOTStatus status) override
    {
        std::lock_guard<std::mutex> lock(Mutex);
        Log.push_back(client + " " + std::to_string(status));
    }
    std::vector<std::string> Calls()
    {
        std::lock_guard<std::mutex> lock(Mutex);
        return Log;
    }
    bool WaitFor(size_t count, unsigned ms = 10000)
    {
        return testkit::WaitUntil([&] { return Calls().size() >= count; }, ms);
    }

private:
    std::mutex Mutex;
    std::vector<std::string> Log;
};

std::string Dump(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}

void WriteDevices(const std::string& yaml)
{
    std::ofstream("/etc/varnel/config/devices.yaml.new") << yaml;
    ASSERT_EQ(rename("/etc/varnel/config/devices.yaml.new", "/etc/varnel/config/devices.yaml"), 0);
}

void EchoAnswered(bool answered)
{
    ASSERT_EQ(Sh(std::string("ip netns exec tvboard sysctl -qw net.ipv4.icmp_echo_ignore_all=") + (answered ? "0" : "1")),
              0);
}

class BOOTPServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(Sh("ip netns add tvboard"), 0);
        Link("tvh0", "tvb0", "192.0.2.1/24", "192.0.2.50/24"); // Board's address: silent or answering
        EchoAnswered(false);
        WriteDevices(DevicesYaml);
        server.SetNotifier(&notifier);
        board = NamespaceSocket("tvboard", 14103);
        ASSERT_GE(board, 0);
    }
    void TearDown() override
    {
        server.WaitTermination();
        if (board >= 0)
            close(board);
        Sh("ip netns del tvboard");
    }
    // A veth pair: host end here, board end in tvboard.
    void Link(const std::string& host, const std::string& peer, const std::string& hostAddress,
              const std::string& boardAddress)
    {
        ASSERT_EQ(Sh("ip link add " + host + " type veth peer name " + peer + " && ip link set " + peer +
                     " netns tvboard && ip addr add " + hostAddress + " brd + dev " + host + " && ip link set " +
                     host + " up"),
                  0);
        ASSERT_EQ(Sh("ip netns exec tvboard sh -c 'ip link set lo up && ip addr add " + boardAddress + " brd + dev " +
                     peer + " && ip link set " + peer + " up'"),
                  0);
    }
    void Start()
    {
        std::list<KNETInterfaceEx> interfaces;
        ASSERT_EQ(KNETInterface::FindInterfaces({}, interfaces), 0);
        ASSERT_EQ(server.Start(interfaces, 14102, 14103), 0);
    }
    void Ask(const Bytes& request, const char* to = "192.0.2.255", int port = 14102)
    {
        ASSERT_TRUE(SendTo(board, request, to, port));
    }
    // The replies that reach the board within ms of each other.
    std::vector<Bytes> Replies(size_t wanted, unsigned ms = 5000)
    {
        std::vector<Bytes> replies;
        while (replies.size() < wanted) {
            Bytes reply = ReceiveFrom(board, ms);
            if (reply.empty())
                break;
            replies.push_back(reply);
        }
        return replies;
    }
    bool NoReplyWaiting() { return ReceiveFrom(board, 0).empty(); }

    KBOOTPServer server;
    RecordingNotifier notifier;
    int board = -1;
};

TEST_F(BOOTPServer, AnAddressInUseIsNotHandedOut)
{
    FakeTick tick(1000000);
    EchoAnswered(true);
    Start();
    const std::string inUse = "Could not start NDX serial 4660: IP address 192.0.2.50 is being used";
    struct Step {
        unsigned int advance; // ms since the previous request
        bool answering;
        const char* line;
        size_t count;
    } const steps[] = {
        {0, true, "E| ", 1},          // first time: Error
        {60000, true, "N| ", 1},      // within 15 minutes: Notice
        {840000, true, "N| ", 2},     // 15 minutes after the Error, not more
        {1, true, "E| ", 2},          // more than 15 minutes: Error again
        {1000, false, nullptr, 0},    // free again: answered, the record forgotten
        {1000, true, "E| ", 3},       // so the next conflict starts with an Error
    };
    size_t phases = 0;
    for (const Step& s : steps) {
        tick.Advance(s.advance);
        EchoAnswered(s.answering);
        Ask(BoardRequest(Board));
        if (s.line) {
            ASSERT_TRUE(WaitForBootpLine(s.line + inUse, s.count)) << s.line << s.count << "\n" << Dump(BootpLines());
            EXPECT_TRUE(NoReplyWaiting());
            phases += 1; // the address was assigned, nothing more
        } else {
            EXPECT_EQ(Replies(2).size(), 2u);
            phases += 2;
        }
        ASSERT_TRUE(notifier.WaitFor(phases));
    }
    EXPECT_EQ(notifier.Calls().size(), phases);
}

TEST_F(BOOTPServer, RefusesWhatCannotBeAnsweredRight)
{
    const std::string longName(128, 'f');
    WriteDevices("Devices:\n"
                 "  - 4663: {Type: NDX_V2}\n" // no address: the first entry has none to inherit
                 "  - 4662: {Type: NDX_V2, IP: 203.0.113.5}\n"
                 "  - 4664: {Type: NDX_V2, IP: 192.0.2.64, SetNewFirmware: true, Firmware: " + longName + "}\n"
                 "  - 4665: {Type: NDX_V2, IP: 192.0.2.65, SetNewFirmware: true, Firmware: " + longName.substr(1) + "}\n");
    Start();
    Ask(BoardRequest(4663));
    Ask(BoardRequest(4662));
    Ask(BoardRequest(4664));
    EXPECT_TRUE(WaitForBootpLine("W| Could not boot NDX serial 4663, failed to obtain IP address from configuration"));
    EXPECT_TRUE(WaitForBootpLine("E| Could not find a suitable interface to send address 203.0.113.5"));
    EXPECT_TRUE(WaitForBootpLine(
        "E| Could not boot NDX serial 4664, firmware name is 128 characters long, the boot file field holds at most 127"));
    // 127 characters and the NUL fill the field exactly.
    Ask(BoardRequest(4665));
    std::vector<Bytes> replies = Replies(1);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&replies[0][108]), 127), longName.substr(1));
    EXPECT_EQ(replies[0][235], 0);
    ASSERT_TRUE(notifier.WaitFor(2));
    EXPECT_EQ(notifier.Calls(), (std::vector<std::string> {"0A:3D:91:00:12:39 0", "0A:3D:91:00:12:39 1"}));
}

TEST_F(BOOTPServer, AnEditOfTheDevicesFileAppliesToTheNextRequest)
{
    Start();
    auto yiaddr = [this] {
        Ask(BoardRequest(FirmwareBoard));
        std::vector<Bytes> replies = Replies(2);
        return replies.size() == 2 ? Bytes(replies[1].begin() + 16, replies[1].begin() + 20) : Bytes();
    };
    EXPECT_EQ(yiaddr(), (Bytes {192, 0, 2, 51}));
    WriteDevices("Devices:\n  - 4661: {Type: NDX_V2, IP: 192.0.2.52}\n"); // a new file
    EXPECT_EQ(yiaddr(), (Bytes {192, 0, 2, 52}));
    std::ofstream("/etc/varnel/config/devices.yaml") << "Devices:\n  - 4661: {Type: NDX_V2, IP: 192.0.2.53}\n";
    EXPECT_EQ(yiaddr(), (Bytes {192, 0, 2, 53})); // the same file rewritten, same size
}

TEST_F(BOOTPServer, DropsRequestsWhileTheDevicesConfigurationIsBroken)
{
    WriteDevices("Devices: [unclosed\n");
    Start();
    Ask(BoardRequest(Board));
    EXPECT_TRUE(WaitForLogWith("|BOOTP   | Could not load devices configuration ("));
    EXPECT_TRUE(notifier.Calls().empty());
}

TEST_F(BOOTPServer, StartCodes)
{
    EXPECT_EQ(server.Start({}, 14102, 14103), 5); // no interface
    Start();
    std::list<KNETInterfaceEx> interfaces;
    KNETInterface::FindInterfaces({}, interfaces);
    EXPECT_EQ(server.Start(interfaces, 14102, 14103), 1); // already running
    EXPECT_EQ(server.Stop(), 0);
    EXPECT_EQ(server.Stop(), 1);
    server.WaitTermination();
    Start(); // the ports are free again
    Ask(BoardRequest(Board));
    EXPECT_EQ(Replies(2).size(), 2u);
}

TEST_F(BOOTPServer, AServerThreadThatCannotBindReportsAServerError)
{
    KUDPSock taken("", 14102, true);
    Start();
    ASSERT_TRUE(notifier.WaitFor(1));
    EXPECT_EQ(notifier.Calls(), (std::vector<std::string> {" 3"}));
    EXPECT_TRUE(WaitForBootpLine("E| Error in server thread > Failed to bind socket to port 14102, ip "));
}

} // namespace
