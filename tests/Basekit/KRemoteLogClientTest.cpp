// Remote log client: lines queue while the log server is away (150 at most, lazy Trace
// lines only while fewer than 101 wait) and arrive once it is up, in order; the client's own
// trouble goes to klog.log once; a stand-in server of another user gets nothing. Each case
// forks: the kind of log manager is fixed at its creation.
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "Basekit/KLogManager.h"
#include "Basekit/KLogger.h"
#include "Basekit/KRemoteLogClient.h"
#include "tests/Basekit/LogTestSupport.h"

namespace {

const uint16_t Port = 15020;
using logtest::Dir;

const char* const Cfg = "RemoteLogHost=127.0.0.1\nRemoteLogPort=15020\n";

struct Received {
    std::string name, text;
};

// Reads count messages from the server's connection.
std::vector<Received> Receive(logtest::TestLogServer& server, size_t count)
{
    std::vector<Received> messages;
    Received message;
    while (messages.size() < count && server.ReadLogMessage(message.name, message.text, 5000))
        messages.push_back(message);
    return messages;
}

std::string Line(char level, const char* name, const char* text, int number)
{
    char line[128];
    snprintf(line, sizeof(line), "%c|14/11/2023 22:13:20.000|%-8s| %s %03d\n", level, name, text, number);
    return line;
}

std::vector<std::string> FilesInLogDirectory()
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(Dir))
        names.push_back(entry.path().filename());
    return names;
}

TEST(KRemoteLogClient, LinesWaitForTheServerLazyOnesLeaveRoomAndOneFailureLineIsKept)
{
    logtest::Begin(Cfg, logtest::Nov14);
    EXPECT_EQ(logtest::RunInChild([] {
                  KLogger lazy(klsTAVO, kloTavoBOOTP, "BOOTP", "tavo", 0x10, true);
                  KRemoteLogClient* client = dynamic_cast<KRemoteLogClient*>(KLogManager::GetMe(false));
                  ASSERT_NE(client, nullptr);
                  for (int i = 1; i <= 120; ++i)
                      lazy.Trace("lazy %03d", i);
                  for (int i = 1; i <= 100; ++i)
                      lazy.Error("error %03d", i);
                  // Attempts fail while the server is away (about one a second).
                  ASSERT_TRUE(logtest::WaitUntil([&] { return client->ConnectAttempts() >= 2; }, 15000));
                  EXPECT_EQ(logtest::Count(logtest::ReadFile(Dir + "klog.log"),
                                           "Could not connect to log server at 127.0.0.1:15020 ("),
                            1u);
                  EXPECT_EQ(FilesInLogDirectory(), std::vector<std::string>{"klog.log"});

                  logtest::TestLogServer server(Port);
                  ASSERT_GE(server.Accept(), 0);
                  std::vector<Received> queued = Receive(server, 150);
                  ASSERT_EQ(queued.size(), 150u) << logtest::ReadFile(Dir + "klog.log");
                  lazy.Error("error %03d", 999);
                  std::vector<Received> after = Receive(server, 1);
                  ASSERT_EQ(after.size(), 1u);
                  EXPECT_EQ(after[0].text, Line('E', "BOOTP", "error", 999)) << "more than 150 lines were kept";
                  // The framework's own messages share the queue with the lines, in order.
                  int others = 0, traces = 0, errors = 0;
                  for (const Received& message : queued) {
                      if (message.name != "tavo")
                          ++others;
                      else if (message.text[0] == 'T')
                          EXPECT_EQ(message.text, Line('T', "BOOTP", "lazy", ++traces));
                      else
                          EXPECT_EQ(message.text, Line('E', "BOOTP", "error", ++errors));
                  }
                  // Lazy lines stop once 101 messages wait; the others fill the queue to 150.
                  EXPECT_EQ(others + traces, 101);
                  EXPECT_EQ(errors, 49);
              }),
              0);
}

TEST(KRemoteLogClient, AServerOfAnotherUserOnLoopbackGetsNoLines)
{
    logtest::Begin(Cfg);
    EXPECT_EQ(logtest::RunInChild([] {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        pid_t standIn = fork();
        ASSERT_GE(standIn, 0);
        if (standIn == 0) {
            // Exit 0 when the client connected and left without sending a byte.
            if (setresuid(65534, 65534, 65534) != 0)
                _exit(10);
            logtest::TestLogServer server(Port);
            if (write(ready[1], "x", 1) != 1 || server.Accept() < 0)
                _exit(11);
            std::vector<uint8_t> bytes;
            _exit(server.Read(bytes, 1, 5000) ? 12 : 0);
        }
        close(ready[1]);
        char byte;
        ASSERT_EQ(read(ready[0], &byte, 1), 1);
        KLogger logger(klsTAVO, kloTavoGeneral, "General", "tavo", 0x10, false);
        for (int i = 1; i <= 20; ++i)
            logger.Error("line %03d", i);
        int status = -1;
        ASSERT_EQ(waitpid(standIn, &status, 0), standIn);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_EQ(logtest::Count(logtest::ReadFile(Dir + "klog.log"),
                                 "| Log server at 127.0.0.1:15020 belongs to uid 65534, not root: nothing is sent to it\n"),
                  1u);
    }), 0);
}

} // namespace
