// The service host against a fixture service, for what the daemon's own life-cycle tests
// cannot see: the arguments and working conditions of the detached copy, the thread OnStop runs
// on, a stop request arriving while stopping, a start failure without a text, the one-instance
// rule. The sandbox gives each test binary its own /run, /var/tmp and /dev/log.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <optional>
#include <poll.h>
#include <regex>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "Basekit/LM7/Basics/KServiceBaseLinux.h"

extern char** environ;

namespace {

const char* const kFixture = SERVICE_HOST_FIXTURE;
const char* const kPidFile = "/var/run/tavo.pid";
const int kTimeoutMs = 20000;
const int kPriWarning = 172; // LOCAL5 (21) * 8 + priority

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct SysLogLine {
    int pri = -1;
    pid_t pid = 0;
    std::string text;
};

// The test's own /dev/log: every datagram is one "<PRI>timestamp ident[pid]: text" line.
class SysLogSink {
public:
    SysLogSink()
    {
        unlink("/dev/log");
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        strcpy(address.sun_path, "/dev/log");
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
            throw std::runtime_error(std::string("cannot bind /dev/log: ") + strerror(errno));
    }
    ~SysLogSink() { close(fd); }
    SysLogSink(const SysLogSink&) = delete;
    SysLogSink& operator=(const SysLogSink&) = delete;

    // The first line with this text (from pid, when not 0), waiting up to the time-out.
    std::optional<SysLogLine> WaitFor(const std::string& text, pid_t pid = 0)
    {
        for (size_t checked = 0;; ++checked) {
            if (checked == lines.size() && !Receive(kTimeoutMs))
                return std::nullopt;
            if (lines[checked].text == text && (pid == 0 || lines[checked].pid == pid))
                return lines[checked];
        }
    }

    int Count(const std::string& text)
    {
        while (Receive(0)) {
        }
        int count = 0;
        for (const SysLogLine& line : lines)
            count += line.text == text;
        return count;
    }

private:
    bool Receive(int timeoutMs)
    {
        pollfd ready{fd, POLLIN, 0};
        char buffer[4096];
        ssize_t size = poll(&ready, 1, timeoutMs) > 0 ? recv(fd, buffer, sizeof(buffer), 0) : -1;
        if (size <= 0)
            return false;
        std::string datagram(buffer, static_cast<size_t>(size));
        static const std::regex format(R"(<(\d+)>.*? [^ \[]+\[(\d+)\]: (.*?)[\n\0]*)");
        std::smatch match;
        SysLogLine line;
        line.text = datagram;
        if (std::regex_match(datagram, match, format))
            line = {std::stoi(match[1]), static_cast<pid_t>(std::stol(match[2])), match[3]};
        lines.push_back(line);
        return true;
    }

    int fd = -1;
    std::vector<SysLogLine> lines;
};

// Waits (bounded) for a process of ours, a child or an adopted one, to end; reaps it.
std::optional<int> WaitExit(pid_t process)
{
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, process, 0));
    if (pidfd < 0)
        return std::nullopt;
    pollfd ended{pidfd, POLLIN, 0};
    int ready = poll(&ended, 1, kTimeoutMs);
    close(pidfd);
    int status = 0;
    if (ready != 1 || waitpid(process, &status, 0) != process)
        return std::nullopt;
    return status;
}

struct Outcome {
    int status = -1; // raw wait status
    std::string out;
    std::string err;
};

// One run of the fixture, its standard output and error in files (the detached copy may keep
// them open), stopped with SIGKILL if it is still there at the end.
class FixtureRun {
public:
    explicit FixtureRun(std::vector<std::string> words, const std::vector<std::string>& extraEnv = {})
    {
        words.insert(words.begin(), kFixture);
        std::vector<std::string> envStrings(extraEnv);
        for (char** entry = environ; *entry; ++entry)
            envStrings.push_back(*entry);
        std::vector<char*> argv, envp;
        for (std::string& s : words)
            argv.push_back(&s[0]);
        for (std::string& s : envStrings)
            envp.push_back(&s[0]);
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, kOut, O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, kErr, O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int rc = posix_spawn(&pid, kFixture, &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0)
            throw std::runtime_error(std::string("posix_spawn: ") + strerror(rc));
    }
    ~FixtureRun()
    {
        if (pid > 0 && kill(pid, SIGKILL) == 0)
            waitpid(pid, nullptr, 0);
    }
    FixtureRun(const FixtureRun&) = delete;
    FixtureRun& operator=(const FixtureRun&) = delete;

    pid_t Pid() const { return pid; }

    Outcome Finish()
    {
        std::optional<int> status = WaitExit(pid);
        EXPECT_TRUE(status.has_value()) << "fixture did not exit";
        if (status)
            pid = -1;
        return {status.value_or(-1), ReadFile(kOut), ReadFile(kErr)};
    }

private:
    static constexpr const char* kOut = "/var/tmp/fixture.out";
    static constexpr const char* kErr = "/var/tmp/fixture.err";
    pid_t pid = -1;
};

bool Exited(int status, int code)
{
    return WIFEXITED(status) && WEXITSTATUS(status) == code;
}

class ServiceHost : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // The detached copy is orphaned by the start command; as subreaper the test adopts and
        // reaps it, otherwise its zombie keeps /proc/PID and so "a running instance" alive.
        ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    }
    void SetUp() override { unlink(kPidFile); }
    void TearDown() override
    {
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        unlink(kPidFile);
    }

    SysLogSink sink;
};

TEST_F(ServiceHost, TheDetachedCopyGetsTheWordsAfterNoforkAndRunsWhereItMayDumpCore)
{
    Outcome start = FixtureRun({"start", "x y"}).Finish();
    EXPECT_TRUE(Exited(start.status, 0)) << start.status;
    EXPECT_EQ(start.out, "Starting tavo.... OK\n");
    const std::string pidText = ReadFile(kPidFile);
    ASSERT_FALSE(pidText.empty());
    const pid_t service = static_cast<pid_t>(std::stol(pidText));
    EXPECT_TRUE(sink.WaitFor(std::string("fixture: OnStart argv=") + kFixture + " nofork start x y", service));
    ASSERT_TRUE(sink.WaitFor("Service up and running.", service));

    char cwd[256] = {};
    ASSERT_GT(readlink(("/proc/" + std::to_string(service) + "/cwd").c_str(), cwd, sizeof(cwd) - 1), 0);
    EXPECT_STREQ(cwd, "/var/tmp/varnel/tavo");
    const std::string limits = ReadFile("/proc/" + std::to_string(service) + "/limits");
    EXPECT_TRUE(std::regex_search(limits, std::regex("Max core file size +unlimited +unlimited")));

    EXPECT_TRUE(Exited(FixtureRun({"stop"}).Finish().status, 0));
    std::optional<int> status = WaitExit(service);
    ASSERT_TRUE(status);
    EXPECT_TRUE(Exited(*status, 0)) << *status;
}

// The daemon always names its reason; the host's own text stands in when there is none.
TEST_F(ServiceHost, AStartFailureWithoutATextLogsTheHostsOwn)
{
    Outcome start = FixtureRun({"start"}, {"FIXTURE_START=fail"}).Finish();
    std::optional<SysLogLine> line = sink.WaitFor("Unable to start: check logs for more info.");
    ASSERT_TRUE(line);
    EXPECT_EQ(line->pri, kPriWarning);
    if (start.out == "Starting tavo.... OK\n") {
        // The copy needed more than the start command's 250 ms to fail (a loaded machine, a
        // sanitizer build): then its own exit status is where the failure shows.
        std::optional<int> status = WaitExit(line->pid);
        ASSERT_TRUE(status);
        EXPECT_TRUE(Exited(*status, 70)) << *status;
    } else {
        EXPECT_TRUE(Exited(start.status, 75)) << start.status;
        EXPECT_EQ(start.err, "ERROR: Premature child[" + std::to_string(line->pid) + "] process exit with code 70.\n");
    }
    EXPECT_NE(access(kPidFile, F_OK), 0);
    EXPECT_EQ(sink.Count("Exiting at stop request..."), 0); // OnStop is not called
}

// OnStop runs on the main thread, outside the signal handler, while the pid file exists; a
// second request while it runs changes nothing.
TEST_F(ServiceHost, StopRunsOnTheMainThreadAndASecondSignalWhileStoppingIsIgnored)
{
    const std::string gate = "/run/stop-gate";
    ASSERT_EQ(mkfifo(gate.c_str(), 0600), 0);
    FixtureRun service({"nofork"}, {"FIXTURE_STOP_GATE=" + gate});
    ASSERT_TRUE(sink.WaitFor("Service up and running.", service.Pid()));
    kill(service.Pid(), SIGTERM);
    ASSERT_TRUE(sink.WaitFor("fixture: OnStop main=1 blocked=0 pidfile=1", service.Pid()));
    kill(service.Pid(), SIGINT);
    kill(service.Pid(), SIGQUIT);
    int fd = open(gate.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "x", 1), 1);
    close(fd);

    EXPECT_TRUE(Exited(service.Finish().status, 0));
    EXPECT_NE(access(kPidFile, F_OK), 0);
    EXPECT_EQ(sink.Count("fixture: OnStop main=1 blocked=0 pidfile=1"), 1);
    EXPECT_EQ(sink.Count("Exiting at stop request..."), 1);
    unlink(gate.c_str());
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
