// The boot service's stop and restart races and what its start and stop leave behind (threads,
// ports), with the real servers in the test's own network namespace (a bridge on TEST-NET-1).
// Command words, exit statuses and start failures as an operator sees them are end-to-end cases.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "Basekit/KLogger.h"
#include "Tools/TAVO/TAVOService.h"
#include "tests/support/TestKit.h"

namespace {

const char* const TavoLog = "/var/log/varnel/tavo.log";
const char* const HostAddress = "192.0.2.1";

// Positions (line numbers) of the log lines that end with text.
std::vector<std::size_t> Find(const std::vector<std::string>& lines, const std::string& text)
{
    std::vector<std::size_t> found;
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (lines[i].size() >= text.size() && lines[i].compare(lines[i].size() - text.size(), text.size(), text) == 0)
            found.push_back(i);
    return found;
}

// True when nothing holds the UDP port on that address any more.
bool PortIsFree(const char* address, int port)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address, &where.sin_addr);
    const bool free = bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0;
    close(fd);
    return free;
}

int ThreadCount()
{
    int count = 0;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(tasks))
            count += entry->d_name[0] != '.';
        closedir(tasks);
    }
    return count;
}

// ThreadSanitizer starts a thread of its own at the first thread creation; one short thread
// first makes a count taken before the service comparable with one taken after.
int BaselineThreadCount()
{
    std::thread([] {}).join();
    return ThreadCount();
}

// Waits, with a deadline, until the process runs no more threads than before.
bool ThreadsBackTo(int count)
{
    return testkit::WaitUntil([&] { return ThreadCount() <= count; }, 10000);
}

class TAVOServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The service host allows one instance per process; ctest runs each test alone.
        if (basekit::service::KServiceBase::_Instance(nullptr) != nullptr)
            GTEST_SKIP() << "one service per process: run the tests one at a time (ctest does)";
        ASSERT_EQ(std::system("ip link add tavo0 type bridge && ip addr add 192.0.2.1/24 dev tavo0 && "
                              "ip link set tavo0 up"),
                  0);
        KLogger::OverwriteOption(klsTAVO, kloTavoGeneral | kloTavoBOOTP | kloTavoTFTP | kloTavoTime);
        testkit::WriteConfig("devices", "Devices:\n  - 1193046: {Type: NDX-E1, IP: 192.0.2.50}\n");
        testkit::WriteConfig("system", "Network:\n  MediaServerAddress: 192.0.2.1\n");
    }

    static void WriteService(const std::string& interfaces)
    {
        testkit::WriteConfig("tavo", "tavo:\n  BootP: {RxPort: 14102, TxPort: 14103}\n  Interfaces: [" + interfaces +
                                         "]\n  tftp: {Port: 69, AlternativePath: ~}\n");
    }

    static bool AllPortsFree()
    {
        return PortIsFree("0.0.0.0", 14102) && PortIsFree("0.0.0.0", 14103) && PortIsFree(HostAddress, 69) &&
               PortIsFree(HostAddress, 37);
    }
};

// The stop path ends every thread, the address poller included (the process exits next), and a
// restart arriving after it starts nothing. (A restart with the loaded configuration is an
// end-to-end case.)
TEST_F(TAVOServiceTest, TheStopEndsEverythingAndARestartAfterItStartsNothing)
{
    WriteService(HostAddress);
    const int before = BaselineThreadCount();
    TAVOService service;
    ASSERT_TRUE(service.OnStart({}));
    EXPECT_FALSE(PortIsFree(HostAddress, 69));
    EXPECT_FALSE(PortIsFree(HostAddress, 37));
    EXPECT_TRUE(service.OnStop());
    EXPECT_TRUE(AllPortsFree());
    EXPECT_TRUE(ThreadsBackTo(before)) << ThreadCount() << " threads, " << before << " before the start";
    service.Restart();
    EXPECT_EQ(Find(testkit::Lines(TavoLog), "Starting BootServer...").size(), 1u);
    EXPECT_TRUE(AllPortsFree());
}

TEST_F(TAVOServiceTest, StopArrivingDuringRestartWaitsForItAndLeavesEverythingStopped)
{
    WriteService(HostAddress);
    TAVOService service;
    ASSERT_TRUE(service.OnStart({}));

    std::thread poller([&] { service.Restart(); });
    // The restart has begun once the BOOTP server announces its stop.
    ASSERT_TRUE(testkit::WaitUntil([] { return !Find(testkit::Lines(TavoLog), "TAVO is shutting down").empty(); },
                                   20000));
    EXPECT_TRUE(service.OnStop()); // the stop path
    poller.join();

    const std::vector<std::string> lines = testkit::Lines(TavoLog);
    const std::vector<std::size_t> started = Find(lines, "Starting TimeServer...");
    const std::vector<std::size_t> stopping = Find(lines, "TAVO is shutting down");
    ASSERT_EQ(started.size(), 2u);
    ASSERT_EQ(stopping.size(), 2u);
    // the restart completed before the stop began, so the stop is the last word
    EXPECT_LT(started[1], stopping[1]);
    EXPECT_TRUE(AllPortsFree());
}

// A failed first start ends the process, so whatever it began (the log reload thread, the
// BOOTP server) must be gone when OnStart returns: a thread left behind would run on into the
// static destructors.
TEST_F(TAVOServiceTest, StartFailingAfterTheBootServerStartedLeavesNothingBehind)
{
    WriteService(HostAddress);
    testkit::RemoveConfig("system");
    const int before = BaselineThreadCount();

    TAVOService service;
    EXPECT_FALSE(service.OnStart({}));
    EXPECT_TRUE(ThreadsBackTo(before)) << ThreadCount() << " threads, " << before << " before the start";
    EXPECT_TRUE(PortIsFree("0.0.0.0", 14102) && PortIsFree(HostAddress, 69));
}

} // namespace
