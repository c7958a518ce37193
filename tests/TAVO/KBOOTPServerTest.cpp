// The BOOTP server for what the daemon's BOOTP tests cannot reach: the log line of each refusal
// (without a network: the decision part on a fixed board table), and over a veth pair a fake
// tick for the 15-minute rule, start and stop codes, a port already taken. The host side is the
// test's own network namespace (192.0.2.1/24 on tvh0), the board lives in the namespace
// "tvboard" and listens on 0.0.0.0:14103 like a real board.
#include <gtest/gtest.h>

#include <fstream>
#include <mutex>
#include <stdexcept>
#include <unistd.h>

#include "Tools/TAVO/KBOOTPServer.h"
#include "Tools/TAVO/KNETInterface.h"
#include "tests/TAVO/BOOTPTestKit.h"

namespace {

using namespace bootptest;
using Bytes = std::vector<unsigned char>;

const unsigned int Board = 4660;       // 0x001234, configured at 192.0.2.50

const char* const DevicesYaml = "Devices:\n  - 4660: {Type: NDX_V2, IP: 192.0.2.50}\n";

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

// The decision part alone, on a fixed board table: no socket, no devices.yaml.
class FixedBoards : public KBOOTPServer {
public:
    FixedBoards() { UseInterfaces({{"192.0.2.1", "255.255.255.0", "192.0.2.255"}}); }
    bool Prepare(unsigned int serial)
    {
        PreparedReply reply;
        const Bytes request = BoardRequest(serial);
        return PrepareReply(request.data(), static_cast<int>(request.size()), true, reply);
    }
    config::DevicesTables Boards;
    bool Broken = false;

protected:
    config::DevicesTables LoadDevices() override
    {
        if (Broken)
            throw std::runtime_error("no such file");
        return Boards;
    }
};

TEST(BOOTPServerLines, EachRefusalLogsItsLine)
{
    FixedBoards server;
    auto add = [&](unsigned int serial, const char* ip, const std::string& firmware) {
        KBOOTPMachine& m = server.Boards.machines[serial];
        m.IP = ip;
        m.SetNewFirmware = !firmware.empty();
        m.Firmware = firmware;
    };
    add(Board, "192.0.2.50", "");
    add(4662, "", "");
    add(4663, "203.0.113.5", "");
    add(4664, "192.0.2.64", std::string(128, 'f'));
    server.Boards.replacements[4761] = Board;
    const struct {
        unsigned int serial;
        bool answered;
        const char* line;
    } cases[] = {
        {4662, false, "W| Could not boot NDX serial 4662, failed to obtain IP address from configuration"},
        {4663, false, "E| Could not find a suitable interface to send address 203.0.113.5"},
        {4664, false,
         "E| Could not boot NDX serial 4664, firmware name is 128 characters long, the boot file field holds at most 127"},
        {4761, true, "W| Device 4761 is replacing device 4660, be sure device 4660 is turned off"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(server.Prepare(c.serial), c.answered) << c.serial;
        EXPECT_TRUE(WaitForBootpLine(c.line)) << c.line;
    }
    server.Broken = true;
    EXPECT_FALSE(server.Prepare(Board));
    EXPECT_TRUE(WaitForBootpLine("W| Could not load devices configuration (no such file)"));
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
