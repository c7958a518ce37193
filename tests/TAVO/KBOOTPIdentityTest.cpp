// Board identity: hardware address <-> serial, the identification register with its
// two-minute rate limit on logged errors, and the request log file; the server's lines for the
// refusals and the bind failure that no end-to-end case causes.
#include <gtest/gtest.h>

#include <atomic>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "Basekit/KHostSystem.h"
#include "Tools/TAVO/KBOOTPServer.h"
#include "Tools/TAVO/KUDPSock.h"
#include "tests/TAVO/TAVOTestKit.h"

namespace {

using tavotest::FakeTick;
using tavotest::LogWatch;

TEST(MAC2Serial, ReadsTheSerialOfNDXAddressesOnly)
{
    struct {
        const char* mac;
        unsigned int serial;
    } const cases[] = {
        {"0A:3D:91:12:34:56", 1193046},  // 0x123456
        {"0a3d91123456", 1193046},       // no separators, lower case
        {"00:11:22:33:44:55", 0},        // not an NDX board
        {"0A:3D:91:12:34:5", 0},         // 16 characters
    };
    for (const auto& c : cases)
        EXPECT_EQ(KBOOTPServer::MAC2Serial(c.mac), c.serial) << c.mac;
}

const char* const Rejected = "XYZ-1";
const char* const RejectedLine = "E|BOOTP   | Bootloader string not supported! Serial (42). Old API version? [XYZ-1]";

TEST(RegisterSerialRequest, LogsAnIdentificationErrorAtMostEveryTwoMinutes)
{
    FakeTick tick(5000000);
    LogWatch log;
    KBOOTPServer server;
    struct Step {
        unsigned int at; // ms after the first request
        const char* info;
        bool goesOn;    // without a request log the register only rate-limits
        size_t logged;  // error lines so far
    } const steps[] = {
        {0, Rejected, true, 1},         // first error: logged, answered
        {119999, Rejected, false, 1},   // within two minutes: silent, dropped
        {180000, Rejected, true, 2},    // 3 minutes after the first: logged again
        {181000, "NDX-fine", true, 2},  // a good string clears the board's entry
        {182000, Rejected, true, 3},    // so the next error is logged at once
    };
    for (const Step& s : steps) {
        tick.Set(5000000 + s.at);
        EXPECT_EQ(server.RegisterSerialRequest(42, s.info), s.goesOn) << s.at;
        EXPECT_EQ(log.Count(RejectedLine), s.logged) << s.at;
    }
    tick.Set(4294967000u);
    server.RegisterSerialRequest(42, Rejected);
    tick.Set(500); // wrapped: the tick is below the entry, so the error is logged again
    EXPECT_TRUE(server.RegisterSerialRequest(42, Rejected));
    EXPECT_EQ(log.Count(RejectedLine), 5u);
    server.RegisterSerialRequest(9, "XY\nE|forged-1"); // control bytes neutralised in the line
    EXPECT_EQ(log.Count("E|BOOTP   | Bootloader string not supported! Serial (9). Old API version? [XY?E|forged-1]"), 1u);
}

// Requests under made-up serials: what they can write and what the register keeps is bounded,
// while a configured board's error is still written.
TEST(RegisterSerialRequest, UnknownBoardsErrorsAreBudgetedAndTheirRecordsBounded)
{
    const unsigned int start = 7000000;
    FakeTick tick(start);
    testkit::WriteConfig("devices", "Devices:\n  - 42: {Type: NDX_V2, IP: 192.0.2.50}\n");
    LogWatch log;
    KBOOTPServer server;
    // 4096 boards remembered, one a millisecond: every first error goes on (no request log).
    for (unsigned int i = 0; i < 4096; ++i) {
        tick.Set(start + i);
        ASSERT_TRUE(server.RegisterSerialRequest(1000 + i, Rejected)) << i;
    }
    tick.Set(start + 4096);
    EXPECT_TRUE(server.RegisterSerialRequest(9999, Rejected)); // the 4097th: the oldest is forgotten
    EXPECT_FALSE(server.RegisterSerialRequest(1001, Rejected)); // still within its two minutes
    EXPECT_TRUE(server.RegisterSerialRequest(1000, Rejected));  // forgotten: a first error again
    // 20 lines of a kind at once, then one every 5 s (none has passed); 42 is configured.
    EXPECT_TRUE(server.RegisterSerialRequest(42, Rejected));
    EXPECT_EQ(testkit::Count(log.Text(), "Old API version? [XYZ-1]"), 21u);
    EXPECT_EQ(testkit::Count(log.Text(), "Serial (42)"), 1u);
    testkit::RemoveConfig("devices");
}

unsigned int Now()
{
    int offset = 0;
    return static_cast<unsigned int>(KHostSystem::GetSecondsSinceEpoch(offset));
}

// The request log holds "time serial info" lines.
TEST(RequestLog, KeepsOneLinePerBoardInSerialOrderForNinetyDays)
{
    const std::string path = "/var/tmp/requests.log";
    const unsigned int before = Now();
    KBOOTPServer server;
    server.SetRequestLogPath(path);
    // Older than 90 days, just younger (its info tail with spaces kept whole), not an entry,
    // numbers in another C base.
    std::ostringstream old;
    old << "1700000000 77 old\n" << before - 7775000 << " 78 NDX_V2-X_40 1 0 0 1 0:3:4\n"
        << "garbage-without-serial\n0x" << std::hex << before - 50 << " 0x1F numbers in any C base\n";
    testkit::WriteFile(path, old.str());
    ASSERT_TRUE(server.RegisterSerialRequest(900, "NDX-abc"));
    ASSERT_TRUE(server.RegisterSerialRequest(5, "NDX_V2-E1_X 0 0-ec0 0-4c00 0-4c00"));
    ASSERT_TRUE(server.RegisterSerialRequest(6, "")); // no identification: an empty info
    EXPECT_FALSE(server.RegisterSerialRequest(42, Rejected)); // with a writable log, false stands
    const unsigned int after = Now();
    const std::vector<std::string> lines = testkit::Lines(path);
    const std::string expected[] = {"5 NDX_V2-E1_X_6000 1 0 0 1 0:4:2", "6 ", "31 numbers in any C base", "42 ERROR",
                                    "78 NDX_V2-X_40 1 0 0 1 0:3:4", "900 NDX-abc"};
    ASSERT_EQ(lines.size(), std::size(expected));
    for (size_t i = 0; i < lines.size(); ++i) {
        const size_t space = lines[i].find(' ');
        const unsigned long time = std::stoul(lines[i].substr(0, space));
        EXPECT_EQ(lines[i].substr(space + 1), expected[i]);
        if (i == 2 || i == 4) // kept as they were
            EXPECT_EQ(time, i == 2 ? before - 50 : before - 7775000);
        else // written now
            EXPECT_TRUE(time >= before && time <= after) << time;
    }
    server.SetRequestLogPath("/var/tmp/missing-directory/requests.log");
    EXPECT_TRUE(server.RegisterSerialRequest(43, Rejected)); // an unwritable log lets it go on
}

// The decision part alone on a fixed board table (no socket, no devices.yaml): the line each
// refusal the end-to-end tests cannot cause writes.
class FixedBoards : public KBOOTPServer {
public:
    FixedBoards() { UseInterfaces({{"192.0.2.1", "255.255.255.0", "192.0.2.255"}}); }
    bool Prepare(unsigned int serial)
    {
        PreparedReply reply;
        const std::vector<unsigned char> request = tavotest::BoardRequest(serial);
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

TEST(BOOTPServerLines, EachRefusalWithoutAnEndToEndCaseLogsItsLine)
{
    FixedBoards server;
    server.Boards.machines[4662].IP = "";
    KBOOTPMachine& longName = server.Boards.machines[4664];
    longName.IP = "192.0.2.64";
    longName.SetNewFirmware = true;
    longName.Firmware = std::string(128, 'f');
    const struct {
        unsigned int serial;
        bool broken; // devices.yaml unloadable
        const char* line;
        const char* counter;
    } cases[] = {
        {4662, false, "W|BOOTP   | Could not boot NDX serial 4662, failed to obtain IP address from configuration",
         "bootp-dropped-no-address"},
        {4664, false, "E|BOOTP   | Could not boot NDX serial 4664, firmware name is 128 characters long, the boot "
                      "file field holds at most 127", "bootp-dropped-firmware-name-too-long"},
        {4662, true, "W|BOOTP   | Could not load devices configuration (no such file)", "bootp-dropped-devices-unloadable"},
    };
    for (const auto& c : cases) {
        LogWatch log;
        server.Broken = c.broken;
        EXPECT_EQ(tavotest::CountersMoved([&] { EXPECT_FALSE(server.Prepare(c.serial)) << c.line; }),
                  (tavotest::Moves{{c.counter, 1}}));
        EXPECT_EQ(log.Count(c.line), 1u) << c.line;
    }
}

class LastStatus : public KBOOTPNotifier {
public:
    void ClientStatus(const std::string&, KBOOTStatus status) override { Status = status; }
    std::atomic<int> Status{-1};
};

TEST(BOOTPServerLife, AServerThreadThatCannotBindReportsAServerError)
{
    KUDPSock taken("", 14102, true);
    LogWatch log;
    LastStatus notifier;
    KBOOTPServer server;
    server.SetNotifier(&notifier);
    ASSERT_EQ(server.Start({{"127.0.0.1", "255.0.0.0", "127.255.255.255"}}, 14102, 14103), 0);
    EXPECT_TRUE(log.WaitFor("|BOOTP   | Error in server thread > Failed to bind socket to port 14102, ip \n"));
    EXPECT_TRUE(testkit::WaitUntil([&] { return notifier.Status == bsServerError; }, 10000));
    server.WaitTermination();
}

} // namespace
