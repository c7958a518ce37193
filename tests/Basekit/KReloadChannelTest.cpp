// The reload channel against a log server written here (TCP on loopback): connection and
// retry, filters switching Trace lines, configuration reloads, requests, bad frames, and a
// shutdown that does not wait for the server; and how the owner of that server is found.
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "Basekit/KLogManager.h"
#include "Basekit/KLogger.h"
#include "Basekit/LM7/Basics/KClientSocket.h"
#include "Basekit/LM7/Basics/KSocketOwner.h"
#include "tests/Basekit/LogTestSupport.h"

namespace {

const uint16_t Port = 15010;
const std::string Dir = "/var/log/varnel/";
const unsigned All = 0xFFFFFFFFu;

const bool Configured = [] {
    logtest::WriteKlogCfg("RemoteLogPort=15010\n[TAVO]\nValue=true\nGeneral=true\n");
    return true;
}();
KLogger Bootp(klsTAVO, kloTavoBOOTP, "BOOTP", "tavo", 0x10, false);

bool KlogHas(const std::string& text, unsigned timeoutMs = 5000)
{
    return logtest::WaitUntil(
        [&] { return logtest::ReadFile(Dir + "klog.log").find(text) != std::string::npos; }, timeoutMs);
}

std::vector<uint8_t> FilterWithTavo(uint32_t options, uint32_t never)
{
    std::vector<logtest::FilterEntry> entries(29, logtest::FilterEntry{All, false, 0});
    entries[klsTAVO] = {options, false, never};
    return logtest::FilterFrame(entries, false, 104857600, 10737418240ull);
}

// Finalize must end the reload thread promptly, even while it waits for the server.
void FinalizeWithin(unsigned ms)
{
    auto done = std::async(std::launch::async, [] { basekit::Finalize(); });
    ASSERT_EQ(done.wait_for(std::chrono::milliseconds(ms)), std::future_status::ready) << "Finalize hangs";
}

class ReloadChannel : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Configured);
        server.reset(new logtest::TestLogServer(Port));
        basekit::Initialize();
        ASSERT_GE(server->Accept(10000), 0);
    }
    void TearDown() override { FinalizeWithin(2000); }

    std::unique_ptr<logtest::TestLogServer> server;
};

std::atomic<int> FilterCallbacks{0};
std::atomic<int> Reloads{0};

TEST_F(ReloadChannel, FiltersFromTheServerSwitchBootpTraceOnAndOff)
{
    KLogger::SetFilterConfigCallback([](bool remote) {
        if (remote)
            ++FilterCallbacks;
    });
    EXPECT_FALSE(Bootp.IsActive(klTrace));
    server->Send(FilterWithTavo(kloTavoBOOTP, 0));
    ASSERT_TRUE(logtest::WaitUntil([] { return Bootp.IsActive(klTrace); }, 5000));
    Bootp.Trace("trace while on");

    server->Send(FilterWithTavo(0, All));
    ASSERT_TRUE(logtest::WaitUntil([] { return !Bootp.IsActive(klTrace); }, 5000));
    Bootp.Trace("trace while off");
    EXPECT_TRUE(logtest::WaitUntil([] { return FilterCallbacks == 2; }, 5000));

    std::string tavo = logtest::ReadFile(Dir + "tavo.log");
    EXPECT_NE(tavo.find("|BOOTP   | trace while on\n"), std::string::npos);
    EXPECT_EQ(tavo.find("trace while off"), std::string::npos);
    // The second filter marks the files in use.
    EXPECT_NE(tavo.find("\t\t\t\t ***** CHECKPOINT "), std::string::npos);
}

TEST_F(ReloadChannel, ConfigurationReloadGoesToTheInstalledHandler)
{
    KLogManager::SetConfigReloadHandler([] {
        ++Reloads;
        return 0;
    });
    server->Send({4, 0, 0, 0, /*type*/ 1, 0, 0, 0});
    EXPECT_TRUE(logtest::WaitUntil([] { return Reloads == 1; }, 5000));

    KLogManager::SetConfigReloadHandler(nullptr);
    server->Send({4, 0, 0, 0, 1, 0, 0, 0});
    EXPECT_TRUE(KlogHas("| Configuration reload requested, but no configuration reloader is installed\n"));
    EXPECT_EQ(Reloads, 1);
}

TEST_F(ReloadChannel, RequestsAreLogMessagesOfWriterZero)
{
    // The channel exists a moment after the server accepted: ask until the bytes arrive.
    std::vector<uint8_t> frame;
    for (int attempt = 0; attempt < 50 && frame.empty(); ++attempt) {
        KLogger::ReloadConfig();
        if (!server->Read(frame, 21, 100))
            frame.clear();
    }
    EXPECT_EQ(frame, (std::vector<uint8_t>{17, 0, 0, 0,                           // frame size
                                           2, 0, 0, 0, '0', 0,                    // writer "0"
                                           7, 0, 0, 0, 'r', 'e', 'l', 'o', 'a', 'd', 0})); // request
    std::string name, text;
    while (server->ReadLogMessage(name, text, 100) && text == "reload") {
    }
    KLogManager::GetMe(false)->RequestKConfigReload();
    ASSERT_TRUE(server->ReadLogMessage(name, text, 5000));
    EXPECT_EQ(name, "0");
    EXPECT_EQ(text, "config_reload");
}

TEST_F(ReloadChannel, DroppedConnectionIsMadeAgain)
{
    server->CloseConnection();
    EXPECT_TRUE(KlogHas("| Log server connection closed\n"));
    EXPECT_GE(server->Accept(5000), 0);
}

struct BadFrameCase {
    const char* name;
    std::vector<uint8_t> bytes;
    bool closeAfter;
    const char* message; // internal log line
    friend void PrintTo(const BadFrameCase& c, std::ostream* os) { *os << c.name; }
};

class BadFrames : public ReloadChannel, public ::testing::WithParamInterface<BadFrameCase> {};

TEST_P(BadFrames, DropTheConnectionAndConnectAgain)
{
    server->Send(GetParam().bytes);
    if (GetParam().closeAfter)
        server->CloseConnection();
    EXPECT_TRUE(KlogHas(GetParam().message));
    EXPECT_GE(server->Accept(5000), 0);
    // The new connection works: a filter sent on it turns BOOTP trace the other way.
    bool before = Bootp.IsActive(klTrace);
    server->Send(before ? FilterWithTavo(0, All) : FilterWithTavo(kloTavoBOOTP, 0));
    EXPECT_TRUE(logtest::WaitUntil([&] { return Bootp.IsActive(klTrace) != before; }, 5000));
}

std::vector<uint8_t> HalfFilter()
{
    std::vector<uint8_t> frame = FilterWithTavo(0, 0);
    frame.resize(frame.size() / 2);
    return frame;
}

INSTANTIATE_TEST_SUITE_P(
    Frames, BadFrames,
    ::testing::Values(BadFrameCase{"ClosedMidFrame", HalfFilter(), true, "| Log server connection closed\n"},
                      BadFrameCase{"AbsurdEntryCount",
                                   {12, 0, 0, 0, /*type*/ 2, 0, 0, 0, /*count*/ 0x88, 0x13, 0, 0, 0, 0, 0, 0},
                                   false,
                                   "| Malformed message from log server, connection dropped [invalid log filter: "
                                   "5000 source entries]\n"}),
    [](const ::testing::TestParamInfo<BadFrameCase>& param) { return std::string(param.param.name); });

TEST_F(ReloadChannel, UnknownTypeIsIgnoredOnTheSameConnection)
{
    server->Send({4, 0, 0, 0, /*type*/ 3, 0, 0, 0});
    EXPECT_TRUE(KlogHas("| Ignoring log server message of type 3\n"));
    bool before = Bootp.IsActive(klTrace);
    server->Send(before ? FilterWithTavo(0, All) : FilterWithTavo(kloTavoBOOTP, 0));
    EXPECT_TRUE(logtest::WaitUntil([&] { return Bootp.IsActive(klTrace) != before; }, 5000));
}

TEST_F(ReloadChannel, ShutdownWhileWaitingForTheServerIsPrompt)
{
    FinalizeWithin(1000);
    EXPECT_TRUE(KlogHas("| Leaving reload config thread\n"));
    basekit::Initialize(); // for TearDown
    ASSERT_GE(server->Accept(10000), 0);
}

TEST(ReloadRetry, ConnectsOnceTheServerComesUp)
{
    basekit::Initialize();
    EXPECT_TRUE(KlogHas("| Connecting to log server (attempt 1)\n"));
    EXPECT_TRUE(KlogHas("| Could not connect to log server, trying againg in 5s ["));
    logtest::TestLogServer server(Port);
    // The next attempt comes 5 seconds after the first.
    EXPECT_GE(server.Accept(10000), 0);
    EXPECT_TRUE(KlogHas("| Connecting to log server (attempt 2)\n"));
    FinalizeWithin(2000);
}

// The log channel trusts a server by the owner of its listener: root's, or the uid of a
// process that took the port while the real server was down.
TEST(LogServerOwner, IsTheUidThatOpenedTheListener)
{
    const uint16_t OwnerPort = 15012;
    for (uid_t uid : {uid_t(0), uid_t(65534)}) {
        int ready[2], release[2];
        ASSERT_EQ(pipe(ready), 0);
        ASSERT_EQ(pipe(release), 0);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(release[1]); // so that the parent's close ends the wait below
            // The socket takes its owner when it is created, so the uid changes first.
            if (uid != 0 && setresuid(uid, uid, uid) != 0)
                _exit(1);
            int listener = socket(AF_INET, SOCK_STREAM, 0);
            int on = 1;
            setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
            sockaddr_in address {};
            address.sin_family = AF_INET;
            address.sin_port = htons(OwnerPort);
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(listener, 4) != 0)
                _exit(2);
            char byte = 'x';
            if (write(ready[1], &byte, 1) != 1)
                _exit(3);
            // Held open, connection unaccepted, until the parent has asked.
            ssize_t ignored = read(release[0], &byte, 1);
            (void)ignored;
            _exit(0);
        }
        close(ready[1]);
        close(release[0]);
        char byte = 0;
        ASSERT_EQ(read(ready[0], &byte, 1), 1) << "listener of uid " << uid;
        {
            basekit::KClientSocket client("127.0.0.1", OwnerPort);
            uid_t owner = 12345;
            int error = 0;
            EXPECT_TRUE(basekit::KSocketOwner::OwnerUid(client.Handle(), owner, error)) << error;
            EXPECT_EQ(owner, uid);
        }
        close(release[1]);
        close(ready[0]);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
}

} // namespace
