// The end of logging: lines after the manager ended leave crash records, crash records
// themselves, and the exit when the log directory cannot be written. Each case forks, its
// child making and ending a log manager of its own.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "Basekit/KCrashLogger.h"
#include "Basekit/KLogger.h"
#include "tests/Basekit/LogTestSupport.h"

namespace {

using logtest::Dir, logtest::Nov14;

const char* const Cfg = "[TAVO]\nValue=true\n";

std::string ExpectedRecord(pid_t pid, const std::vector<std::string>& messages)
{
    std::string record = "\n\n***** Varnel application error *****\n"
                         "14/11/2023 - 22:13:20.250\n"
                         "PID: " + std::to_string(pid) + "\n"
                         "Program: " + logtest::ExeName() + "\n"
                         "Message:\n";
    for (const std::string& message : messages)
        record += "\t" + message + "\n";
    return record;
}

// A record has one tab-indented line per message; records are appended.
TEST(KLogShutdown, LoggingAfterTheManagerEndedWritesOnlyACrashRecord)
{
    logtest::Begin(Cfg);
    unlink((Dir + "crash.log").c_str());
    EXPECT_EQ(logtest::RunInChild([] {
                  logtest::SetClock(Nov14, 250);
                  {
                      KCrashLogger crash;
                      crash.Log("first %d", 1);
                      crash.Log("second %s", "two");
                  }
                  KLogger logger(klsTAVO, kloTavoGeneral, "General", "ended", 0x10, false);
                  logger.Info("while alive");
                  KLogger::Terminate(); // the application's last logger counted out: logging ends
                  logger.Info("too late");
                  EXPECT_EQ(logtest::ReadFile(Dir + "crash.log"),
                            ExpectedRecord(getpid(), {"first 1", "second two"}) +
                                ExpectedRecord(getpid(), {"Trying to log when KLogger is already finished"}));
              }),
              0);
    std::string ended = logtest::ReadFile(Dir + "ended.log");
    EXPECT_NE(ended.find("while alive"), std::string::npos);
    EXPECT_EQ(ended.find("too late"), std::string::npos);
}

// Nothing but a regular file is written, and never through a link: the record goes to the
// system log instead, the link's target keeps its content, and a FIFO does not block.
TEST(KCrashLogger, ADirectoryALinkOrAFifoInTheWaySendsTheRecordToTheSystemLog)
{
    logtest::Begin(Cfg);
    const std::string elsewhere = "/var/log/elsewhere", path = Dir + "crash.log";
    for (auto plant : {+[](const std::string& at) { mkdir(at.c_str(), 0755); },
                       +[](const std::string& at) { symlink("/var/log/elsewhere", at.c_str()); },
                       +[](const std::string& at) { mkfifo(at.c_str(), 0600); }}) {
        EXPECT_EQ(logtest::RunInChild([&] {
                      alarm(20); // a writer blocked on the FIFO ends the child
                      mkdir(Dir.c_str(), 0755);
                      unlink(path.c_str());
                      rmdir(path.c_str());
                      logtest::WriteFile(elsewhere, "precious\n");
                      plant(path);
                      logtest::SystemLogCapture capture;
                      KCrashLogger().Log("to the system log");
                      const std::string datagram = capture.ReadAll();
                      EXPECT_EQ(logtest::ReadFile(elsewhere), "precious\n");
                      EXPECT_NE(datagram.find("***** Varnel application error *****"), std::string::npos) << datagram;
                      EXPECT_NE(datagram.find("\tto the system log"), std::string::npos) << datagram;
                  }),
                  0);
    }
}

TEST(KLogShutdown, UnwritableLogDirectoryEndsTheProcessWithStatus133)
{
    logtest::Begin(Cfg);
    int errors[2];
    ASSERT_EQ(pipe(errors), 0);
    const int status = logtest::RunInChild([&] {
        // Its own mount namespace: the read-only log directory is the child's alone.
        mkdir(Dir.c_str(), 0755);
        if (unshare(CLONE_NEWNS) != 0 || mount("tmpfs", Dir.c_str(), "tmpfs", MS_RDONLY, nullptr) != 0)
            _exit(3);
        dup2(errors[1], 2);
        KLogger(klsTAVO, kloTavoGeneral, "General", "tavo", 0x10, false).Info("never written");
    });
    close(errors[1]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 133) << status;
    char buffer[512] = {};
    ASSERT_GT(read(errors[0], buffer, sizeof(buffer) - 1), 0);
    EXPECT_STREQ(buffer, "Fatal error writing to a critical file \"/var/log/varnel/\"! Exiting process!\n");
}

} // namespace
