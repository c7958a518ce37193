// The BOOTP server end to end inside the sandbox: the host side is the test's own network
// namespace (192.0.2.1/24 on tvh0, optionally 198.51.100.1/24 on tvh1), the boards live in the
// namespace "tvboard" behind veth pairs and listen on 0.0.0.0:14103 like real boards.
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
const unsigned int Replacement = 4761; // 0x001299, takes the place of Board
const unsigned int Unknown = 2457;     // 0x000999, an NDX board nobody configured

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
        for (unsigned waited = 0; Calls().size() < count; waited += 10) {
            if (waited >= ms)
                return false;
            usleep(10000);
        }
        return true;
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

// A request with a distinctive value in every field, so that the reply shows what is echoed.
Bytes DetailedRequest(unsigned int serial)
{
    Bytes p = BoardRequest(serial, "NDX-1");
    p[3] = 3;                                          // hops
    const unsigned char xid[] = {0x12, 0x34, 0x56, 0x78};
    std::copy(xid, xid + 4, p.begin() + 4);            // xid
    p[9] = 0x03;                                       // secs 3
    p[10] = 0x80;                                      // flags: broadcast
    const unsigned char addresses[] = {192, 0, 2, 200, 192, 0, 2, 201, 192, 0, 2, 202, 198, 51, 100, 9};
    std::copy(addresses, addresses + 16, p.begin() + 12); // ciaddr, yiaddr, siaddr, giaddr
    std::fill(p.begin() + 34, p.begin() + 44, 0xEE);   // chaddr after the six address bytes
    const char sname[] = "junk";
    std::copy(sname, sname + 4, p.begin() + 44);       // sname
    const char file[] = "request.bin";
    std::copy(file, file + 11, p.begin() + 108);       // file
    return p;
}

// The reply to DetailedRequest, field by field.
Bytes ExpectedReply(unsigned int serial, const Bytes& yiaddr, const std::string& file)
{
    Bytes e;
    auto put = [&e](std::initializer_list<unsigned char> bytes) { e.insert(e.end(), bytes); };
    put({2});                                           // op: reply
    put({1, 6, 3});                                     // htype, hlen, hops as received
    put({0x12, 0x34, 0x56, 0x78});                      // xid as received
    put({0x00, 0x03});                                  // secs as received
    put({0x80, 0x00});                                  // flags as received
    put({0, 0, 0, 0});                                  // ciaddr 0.0.0.0
    e.insert(e.end(), yiaddr.begin(), yiaddr.end());    // yiaddr: the configured address
    put({192, 0, 2, 1});                                // siaddr: our interface on that subnet
    put({198, 51, 100, 9});                             // giaddr as received
    put({0x0A, 0x3D, 0x91, static_cast<unsigned char>(serial >> 16), static_cast<unsigned char>(serial >> 8),
         static_cast<unsigned char>(serial)});          // chaddr as received
    e.insert(e.end(), 10, 0xEE);
    e.insert(e.end(), 64, 0);                           // sname all zero
    e.insert(e.end(), file.begin(), file.end());        // file, NUL-terminated, zero-filled
    e.insert(e.end(), 128 - file.size(), 0);
    put({99, 130, 83, 99});                             // magic cookie as received
    put({1, 4, 255, 255, 255, 0});                      // option 1: the interface's netmask
    put({255});                                         // end option
    return e;
}

TEST_F(BOOTPServer, AnswersAConfiguredBoardTwiceOnItsSubnet)
{
    Start();
    Ask(DetailedRequest(Board));
    std::vector<Bytes> replies = Replies(2);
    ASSERT_EQ(replies.size(), 2u); // the chosen interface, then once per interface
    const Bytes expected = ExpectedReply(Board, {192, 0, 2, 50}, "request.bin");
    ASSERT_EQ(expected.size(), 247u);
    EXPECT_EQ(replies[0], expected);
    EXPECT_EQ(replies[1], expected);
    ASSERT_TRUE(notifier.WaitFor(2));
    EXPECT_EQ(notifier.Calls(), (std::vector<std::string> {"0A:3D:91:00:12:34 0", "0A:3D:91:00:12:34 1"}));
    EXPECT_TRUE(WaitForBootpLine("I| Starting NDX serial 4660 with IP 192.0.2.50"));
}

TEST_F(BOOTPServer, NamesTheConfiguredFirmware)
{
    Start();
    Ask(DetailedRequest(FirmwareBoard));
    std::vector<Bytes> replies = Replies(1);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0], ExpectedReply(FirmwareBoard, {192, 0, 2, 51}, "fw_v2.bin"));
}

TEST_F(BOOTPServer, SendsOnEveryInterface)
{
    Link("tvh1", "tvb1", "198.51.100.1/24", "198.51.100.50/24");
    Start();
    Ask(BoardRequest(Board));
    EXPECT_EQ(Replies(3).size(), 3u); // twice on 192.0.2.0/24, once on 198.51.100.0/24
    ASSERT_TRUE(notifier.WaitFor(2));
    EXPECT_EQ(notifier.Calls()[1], "0A:3D:91:00:12:34 1");
}

TEST_F(BOOTPServer, AReplacementBoardGetsTheReplacedBoardsSettings)
{
    WriteDevices("Devices:\n  - 4660: {Type: NDX_V2, IP: 192.0.2.50, Replacer: 4761, SetNewFirmware: true, "
                 "Firmware: fw.bin}\n");
    Start();
    Ask(BoardRequest(Replacement));
    std::vector<Bytes> replies = Replies(1);
    ASSERT_EQ(replies.size(), 1u);
    ASSERT_EQ(replies[0].size(), 247u);
    EXPECT_EQ(Bytes(replies[0].begin() + 16, replies[0].begin() + 20), (Bytes {192, 0, 2, 50})); // yiaddr
    EXPECT_EQ(Bytes(replies[0].begin() + 28, replies[0].begin() + 34),
              (Bytes {0x0A, 0x3D, 0x91, 0x00, 0x12, 0x99})); // its own chaddr
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&replies[0][108])), "fw.bin");
    EXPECT_TRUE(WaitForBootpLine("W| Device 4761 is replacing device 4660, be sure device 4660 is turned off"));
}

TEST_F(BOOTPServer, DropsWhatIsNotAConfiguredBoardsRequestSilently)
{
    Start();
    Bytes shortRequest = BoardRequest(Board);
    shortRequest.resize(239);
    Bytes longHardwareAddress = BoardRequest(Board);
    longHardwareAddress[2] = 16;
    Bytes wrongCookie = BoardRequest(Board);
    wrongCookie[239] = 98;
    Bytes otherOp = BoardRequest(Board);
    otherOp[0] = 3;
    Bytes otherHardware = BoardRequest(Board);
    otherHardware[1] = 6;
    Bytes notNDX = BoardRequest(Board);
    const unsigned char foreign[] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    std::copy(foreign, foreign + 6, notNDX.begin() + 28);
    Bytes serialZero = BoardRequest(0);
    Bytes big(2000, 0x63);
    for (const Bytes& request : {shortRequest, longHardwareAddress, wrongCookie, otherOp, otherHardware, notNDX,
                                 serialZero, BoardRequest(Unknown), Bytes(), Bytes(1, 1), big})
        Ask(request);
    Ask(BoardRequest(Board), "192.0.2.1", 14103); // a request on the reply port

    Ask(BoardRequest(FirmwareBoard)); // the one request to answer
    ASSERT_TRUE(notifier.WaitFor(2));
    EXPECT_EQ(Replies(2).size(), 2u);
    EXPECT_EQ(notifier.Calls(), (std::vector<std::string> {"0A:3D:91:00:12:35 0", "0A:3D:91:00:12:35 1"}));
    server.WaitTermination();
    EXPECT_EQ(BootpLines(), (std::vector<std::string> {"N| Listening on interface: 192.0.2.1",
                                                       "I| Starting NDX serial 4661 with IP 192.0.2.51",
                                                       "N| TAVO is shutting down"}));
    EXPECT_TRUE(NoReplyWaiting());
}

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

TEST_F(BOOTPServer, ReportsOtherServersReplies)
{
    Start();
    auto reply = [](unsigned int serial) {
        Bytes p = BoardRequest(serial);
        p[0] = 2;                                     // op: reply
        const unsigned char other[] = {192, 0, 2, 99}; // siaddr: another server
        std::copy(other, other + 4, p.begin() + 20);
        return p;
    };
    Ask(reply(Board), "192.0.2.1", 14103);
    Ask(reply(Unknown), "192.0.2.1", 14103);
    Ask(reply(Replacement), "192.0.2.1", 14102); // on the request socket, for a board we would serve
    EXPECT_TRUE(WaitForBootpLine("W| BOOTP conflict, another server[192.0.2.99] sent a reply to board 4660!"));
    EXPECT_TRUE(WaitForBootpLine("N| BOOTP server[192.0.2.99] sent a reply to board 2457"));
    EXPECT_TRUE(WaitForBootpLine("W| BOOTP conflict, another server[192.0.2.99] sent a reply to board 4761!"));
    EXPECT_TRUE(notifier.Calls().empty());
    EXPECT_TRUE(NoReplyWaiting());
}

TEST_F(BOOTPServer, BoundsRequestThreadsPerInterface)
{
    Start();
    // Each request thread waits 500 ms for the silent address: eleven at once exceed ten.
    for (int i = 0; i < 11; ++i)
        Ask(BoardRequest(Board));
    EXPECT_TRUE(WaitForBootpLine("W| Could not process request, max thread count reached (10/10)"));
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

TEST_F(BOOTPServer, AnswersABoardWithARejectedIdentificationAfterLoggingIt)
{
    Start();
    Ask(BoardRequest(Board, "XYZ-1"));
    EXPECT_TRUE(WaitForBootpLine("E| Bootloader string not supported! Serial (4660). Old API version? [XYZ-1]"));
    EXPECT_EQ(Replies(2).size(), 2u); // no request log: the register does not hold it back
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
