// The service host against a fixture service, for what the daemon's own life-cycle tests
// cannot see: the arguments and working conditions of the detached copy, the thread OnStop runs
// on, a stop request arriving while stopping, a start failure without a text, the one-instance
// rule. The sandbox gives each test binary its own /run, /var/tmp and /dev/log.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "Basekit/LM7/Basics/KServiceBaseLinux.h"
#include "tests/Basekit/LogTestSupport.h"

namespace {

const char* const kFixture = SERVICE_HOST_FIXTURE;
const char* const kPidFile = "/var/run/tavo.pid";
const int kTimeoutMs = 20000;

using testkit::ReadFile;

// Waits (bounded) for a process of ours, a child or an adopted one, to end; reaps it.
std::optional<int> WaitExit(pid_t process)
{
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, process, 0));
    pollfd ended{pidfd, POLLIN, 0};
    int status = 0;
    bool done = pidfd >= 0 && poll(&ended, 1, kTimeoutMs) == 1 && waitpid(process, &status, 0) == process;
    close(pidfd);
    return done ? std::optional<int>(status) : std::nullopt;
}

bool Exited(std::optional<int> status, int code)
{
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}

// One run of the fixture with extra environment, its output in files (the detached copy may
// keep them open), stopped with SIGKILL if it is still there at the end.
class FixtureRun {
public:
    FixtureRun(const char* word, const char* extraArg = nullptr, const char* env = nullptr)
    {
        fflush(nullptr);
        if ((pid = fork()) == 0) {
            int in = open("/dev/null", O_RDONLY), out = creat(kOut, 0600), err = creat(kErr, 0600);
            dup2(in, 0), dup2(out, 1), dup2(err, 2);
            if (env)
                putenv(const_cast<char*>(env));
            execl(kFixture, kFixture, word, extraArg, nullptr);
            _exit(127);
        }
    }
    ~FixtureRun()
    {
        if (pid > 0 && kill(pid, SIGKILL) == 0)
            waitpid(pid, nullptr, 0);
    }
    FixtureRun(const FixtureRun&) = delete;
    FixtureRun& operator=(const FixtureRun&) = delete;

    // The exit status (nullopt: still running after the time-out).
    std::optional<int> Finish()
    {
        std::optional<int> status = WaitExit(pid);
        if (status)
            pid = -1;
        return status;
    }
    static std::string Out() { return ReadFile(kOut); }
    static std::string Err() { return ReadFile(kErr); }

    pid_t pid = -1;

private:
    static constexpr const char* kOut = "/var/tmp/fixture.out";
    static constexpr const char* kErr = "/var/tmp/fixture.err";
};

class ServiceHost : public ::testing::Test {
protected:
    // The detached copy is orphaned by the start command; as subreaper the test adopts and
    // reaps it, otherwise its zombie keeps /proc/PID and so "a running instance" alive.
    static void SetUpTestSuite() { ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0); }
    void SetUp() override { unlink(kPidFile); }
    void TearDown() override
    {
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        unlink(kPidFile);
    }

    // The line "<PRI>timestamp ident[pid]: text" from pid (any when 0) in the test's own /dev/log.
    bool Logged(const std::string& text, pid_t pid = 0)
    {
        return sink.WaitFor((pid ? "[" + std::to_string(pid) : std::string()) + "]: " + text + "\n");
    }
    size_t Count(const std::string& text) { return testkit::Count(sink.ReadAll(), "]: " + text + "\n"); }

    logtest::SystemLogCapture sink;
};

TEST_F(ServiceHost, TheDetachedCopyGetsTheWordsAfterNoforkAndRunsWhereItMayDumpCore)
{
    EXPECT_TRUE(Exited(FixtureRun("start", "x y").Finish(), 0));
    EXPECT_EQ(FixtureRun::Out(), "Starting tavo.... OK\n");
    const std::string pidText = ReadFile(kPidFile);
    ASSERT_FALSE(pidText.empty());
    const pid_t service = static_cast<pid_t>(std::stol(pidText));
    EXPECT_TRUE(Logged(std::string("fixture: OnStart argv=") + kFixture + " nofork start x y", service));
    ASSERT_TRUE(Logged("Service up and running.", service));

    char cwd[256] = {};
    ASSERT_GT(readlink(("/proc/" + std::to_string(service) + "/cwd").c_str(), cwd, sizeof(cwd) - 1), 0);
    EXPECT_STREQ(cwd, "/var/tmp/varnel/tavo");
    const std::string limits = ReadFile("/proc/" + std::to_string(service) + "/limits");
    std::string soft, hard;
    std::istringstream(limits.substr(limits.find("Max core file size") + 18)) >> soft >> hard;
    EXPECT_EQ(soft + " " + hard, "unlimited unlimited");

    EXPECT_TRUE(Exited(FixtureRun("stop").Finish(), 0));
    EXPECT_TRUE(Exited(WaitExit(service), 0));
}

// The daemon always names its reason; the host's own text stands in when there is none.
TEST_F(ServiceHost, AStartFailureWithoutATextLogsTheHostsOwn)
{
    std::optional<int> start = FixtureRun("start", nullptr, "FIXTURE_START=fail").Finish();
    ASSERT_TRUE(Logged("Unable to start: check logs for more info."));
    const std::string all = sink.ReadAll();
    const size_t at = all.find("]: Unable to start: check"), line = all.rfind('\n', at) + 1;
    EXPECT_EQ(all.substr(line, 5), "<172>"); // LOCAL5 (21) * 8 + Warning (4)
    const pid_t copy = static_cast<pid_t>(std::stol(all.substr(all.rfind('[', at) + 1)));
    // How the start command tells the failure is the end-to-end service test's; here the copy
    // has surely ended before OnStop's absence is checked.
    if (FixtureRun::Out() == "Starting tavo.... OK\n")
        EXPECT_TRUE(Exited(WaitExit(copy), 70));
    else
        EXPECT_TRUE(Exited(start, 75));
    EXPECT_NE(access(kPidFile, F_OK), 0);
    EXPECT_EQ(Count("Exiting at stop request..."), 0u); // OnStop is not called
}

// OnStop runs on the main thread, outside the signal handler, while the pid file exists; a
// second request while it runs changes nothing.
TEST_F(ServiceHost, StopRunsOnTheMainThreadAndASecondSignalWhileStoppingIsIgnored)
{
    const char* const onStop = "fixture: OnStop main=1 blocked=0 pidfile=1";
    ASSERT_EQ(mkfifo("/run/stop-gate", 0600), 0);
    FixtureRun service("nofork", nullptr, "FIXTURE_STOP_GATE=/run/stop-gate");
    ASSERT_TRUE(Logged("Service up and running.", service.pid));
    kill(service.pid, SIGTERM);
    ASSERT_TRUE(Logged(onStop, service.pid));
    kill(service.pid, SIGINT);
    kill(service.pid, SIGQUIT);
    int fd = open("/run/stop-gate", O_WRONLY | O_CLOEXEC);
    ASSERT_EQ(write(fd, "x", 1), 1);
    close(fd);
    EXPECT_TRUE(Exited(service.Finish(), 0));
    EXPECT_NE(access(kPidFile, F_OK), 0);
    EXPECT_EQ(Count(onStop), 1u);
    EXPECT_EQ(Count("Exiting at stop request..."), 1u);
    unlink("/run/stop-gate");
}

class Plain : public basekit::service::KServiceBase {
public:
    Plain() : KServiceBase("plain") {}
};

TEST(ServiceHostInstance, ASecondServiceObjectIsRefused)
{
    static Plain first; // the instance pointer is never cleared, so the first one must outlive the test
    EXPECT_THROW(Plain second, std::logic_error);
    EXPECT_THROW(basekit::service::KServiceBase::_Instance(&first), std::logic_error);
    EXPECT_EQ(basekit::service::KServiceBase::_Instance(nullptr), &first);
}

} // namespace
