// The BOOTP server for what the daemon's BOOTP tests cannot reach: the log line of each refusal
// (the decision part on a fixed board table, no devices.yaml) and a port already taken. No board is needed: the server only binds its ports in the sandbox.
#include <gtest/gtest.h>

#include <mutex>
#include <stdexcept>

#include "Tools/TAVO/KBOOTPServer.h"
#include "tests/TAVO/TAVOTestKit.h"

namespace {

using namespace tavotest;
using Bytes = std::vector<unsigned char>;

const unsigned int Board = 4660; // 0x001234

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

private:
    std::mutex Mutex;
    std::vector<std::string> Log;
};

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
    LogWatch log;
    auto add = [&](unsigned int serial, const char* ip, const std::string& firmware) {
        KBOOTPMachine& m = server.Boards.machines[serial];
        m.IP = ip;
        m.SetNewFirmware = !firmware.empty();
        m.Firmware = firmware;
    };
    add(4662, "", "");
    add(4664, "192.0.2.64", std::string(128, 'f'));
    const struct {
        unsigned int serial;
        const char* line;
    } cases[] = {
        {4662, "W|BOOTP   | Could not boot NDX serial 4662, failed to obtain IP address from configuration"},
        {4664,
         "E|BOOTP   | Could not boot NDX serial 4664, firmware name is 128 characters long, the boot file field holds at most 127"},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(server.Prepare(c.serial)) << c.serial;
        EXPECT_EQ(log.Count(c.line), 1u) << c.line;
    }
    server.Broken = true;
    EXPECT_FALSE(server.Prepare(Board));
    EXPECT_EQ(log.Count("W|BOOTP   | Could not load devices configuration (no such file)"), 1u);
}

const std::list<KNETInterfaceEx> Loopback = {{"127.0.0.1", "255.0.0.0", "127.255.255.255"}};

TEST(BOOTPServerLife, AServerThreadThatCannotBindReportsAServerError)
{
    KUDPSock taken("", 14102, true);
    LogWatch log;
    RecordingNotifier notifier;
    KBOOTPServer server;
    server.SetNotifier(&notifier);
    ASSERT_EQ(server.Start(Loopback, 14102, 14103), 0);
    EXPECT_TRUE(log.WaitFor("|BOOTP   | Error in server thread > Failed to bind socket to port 14102, ip \n"));
    EXPECT_TRUE(testkit::WaitUntil([&] { return !notifier.Calls().empty(); }, 10000));
    EXPECT_EQ(notifier.Calls(), (std::vector<std::string> {" 3"}));
    server.WaitTermination();
}

} // namespace
