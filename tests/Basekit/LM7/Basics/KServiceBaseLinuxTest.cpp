// The service host against a fixture service, for what the daemon's own life-cycle tests
// cannot see: the arguments and working conditions of the detached copy, the thread OnStop runs
// on, a stop request arriving while stopping, a start failure without a text, the one-instance
// rule. The sandbox gives each test binary its own /run, /var/tmp and /dev/log.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <poll.h>
#include <regex>
#include <spawn.h>
#include <sstream>
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

using Clock = std::chrono::steady_clock;

const char* const kFixture = SERVICE_HOST_FIXTURE;
const char* const kPidFile = "/var/run/tavo.pid";
const std::chrono::milliseconds kTimeout(20000);
const pid_t kPidMax = 4194304; // the kernel's upper limit; larger "pids" in a damaged file are none

// PRI = facility LOCAL5 (21) * 8 + priority.
const int kPriWarning = 172;
const int kPriNotice = 173;

int RemainingMs(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

struct SysLogLine {
    int pri = -1;
    std::string ident;
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
    ~SysLogSink()
    {
        close(fd);
        unlink("/dev/log");
    }
    SysLogSink(const SysLogSink&) = delete;
    SysLogSink& operator=(const SysLogSink&) = delete;

    // The first line with this text (from pid, when not 0), waiting for it up to the time-out.
    std::optional<SysLogLine> WaitFor(const std::string& text, pid_t pid = 0)
    {
        const auto deadline = Clock::now() + kTimeout;
        size_t checked = 0;
        for (;;) {
            for (; checked < lines.size(); ++checked)
                if (lines[checked].text == text && (pid == 0 || lines[checked].pid == pid))
                    return lines[checked];
            if (!Receive(RemainingMs(deadline)))
                return std::nullopt;
        }
    }

    // Every line received so far, after taking in what is already queued.
    const std::vector<SysLogLine>& Drain()
    {
        while (Receive(0)) {
        }
        return lines;
    }

    int Count(const std::string& text)
    {
        int count = 0;
        for (const SysLogLine& line : Drain())
            count += line.text == text;
        return count;
    }

    // Position of the first line with this text in arrival order, or -1.
    int IndexOf(const std::string& text)
    {
        const std::vector<SysLogLine>& all = Drain();
        for (size_t i = 0; i < all.size(); ++i)
            if (all[i].text == text)
                return static_cast<int>(i);
        return -1;
    }

private:
    bool Receive(int timeoutMs)
    {
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, timeoutMs) <= 0)
            return false;
        char buffer[4096];
        ssize_t size = recv(fd, buffer, sizeof(buffer), 0);
        if (size <= 0)
            return false;
        std::string datagram(buffer, static_cast<size_t>(size));
        while (!datagram.empty() && (datagram.back() == '\n' || datagram.back() == '\0'))
            datagram.pop_back();
        static const std::regex format(R"(<(\d+)>.*? ([^ \[]+)\[(\d+)\]: (.*))");
        std::smatch match;
        SysLogLine line;
        if (std::regex_match(datagram, match, format)) {
            line.pri = std::stoi(match[1]);
            line.ident = match[2];
            line.pid = static_cast<pid_t>(std::stol(match[3]));
            line.text = match[4];
        } else {
            line.text = datagram;
        }
        lines.push_back(line);
        return true;
    }

    int fd = -1;
    std::vector<SysLogLine> lines;
};

struct Outcome {
    int status = -1; // raw wait status
    std::string out;
    std::string err;
};

// One run of the fixture with pipes on its standard output and error.
class FixtureRun {
public:
    enum class Input { DevNull, HeldPipe };

    FixtureRun(const std::vector<std::string>& words, const std::vector<std::string>& extraEnv = {},
               Input input = Input::DevNull)
    {
        std::vector<std::string> argStrings{kFixture};
        argStrings.insert(argStrings.end(), words.begin(), words.end());
        std::vector<std::string> envStrings;
        for (char** entry = environ; *entry; ++entry)
            envStrings.push_back(*entry);
        envStrings.insert(envStrings.end(), extraEnv.begin(), extraEnv.end());
        std::vector<char*> argv, envp;
        for (std::string& s : argStrings)
            argv.push_back(&s[0]);
        argv.push_back(nullptr);
        for (std::string& s : envStrings)
            envp.push_back(&s[0]);
        envp.push_back(nullptr);

        int outPipe[2], errPipe[2], inPipe[2] = {-1, -1};
        if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0 ||
            (input == Input::HeldPipe && pipe2(inPipe, O_CLOEXEC) != 0))
            throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (input == Input::HeldPipe)
            posix_spawn_file_actions_adddup2(&actions, inPipe[0], STDIN_FILENO);
        else
            posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
        int rc = posix_spawn(&pid, kFixture, &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        close(outPipe[1]);
        close(errPipe[1]);
        if (inPipe[0] >= 0)
            close(inPipe[0]);
        outFd = outPipe[0];
        errFd = errPipe[0];
        inFd = inPipe[1];
        if (rc != 0)
            throw std::runtime_error(std::string("posix_spawn: ") + strerror(rc));
    }

    ~FixtureRun()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        for (int fd : {outFd, errFd, inFd})
            if (fd >= 0)
                close(fd);
    }
    FixtureRun(const FixtureRun&) = delete;
    FixtureRun& operator=(const FixtureRun&) = delete;

    pid_t Pid() const { return pid; }

    // Reads standard output until it holds text; false at the time-out or its end.
    bool WaitForOutput(const std::string& text)
    {
        const auto deadline = Clock::now() + kTimeout;
        while (outcome.out.find(text) == std::string::npos) {
            if (!ReadOnce(outFd, outcome.out, RemainingMs(deadline)))
                return false;
        }
        return true;
    }

    // Waits for both outputs to end and for the process to exit.
    Outcome Finish()
    {
        const auto deadline = Clock::now() + kTimeout;
        while (outFd >= 0 || errFd >= 0) {
            pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
            if (poll(fds, 2, RemainingMs(deadline)) <= 0)
                break;
            if (fds[0].revents && !ReadOnce(outFd, outcome.out, 0))
                CloseFd(outFd);
            if (fds[1].revents && !ReadOnce(errFd, outcome.err, 0))
                CloseFd(errFd);
        }
        EXPECT_TRUE(outFd < 0 && errFd < 0) << "outputs still open at the time-out";
        std::optional<int> status = WaitExit(pid);
        EXPECT_TRUE(status.has_value()) << "fixture did not exit";
        if (status)
            pid = -1;
        outcome.status = status.value_or(-1);
        return outcome;
    }

    // Waits (bounded) for a process of ours, a child or an adopted one, to end; reaps it.
    static std::optional<int> WaitExit(pid_t process)
    {
        int pidfd = static_cast<int>(syscall(SYS_pidfd_open, process, 0));
        if (pidfd < 0)
            return std::nullopt;
        pollfd ended{pidfd, POLLIN, 0};
        int ready = poll(&ended, 1, static_cast<int>(kTimeout.count()));
        close(pidfd);
        int status = 0;
        if (ready != 1 || waitpid(process, &status, 0) != process)
            return std::nullopt;
        return status;
    }

private:
    static bool ReadOnce(int fd, std::string& into, int timeoutMs)
    {
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, timeoutMs) <= 0)
            return false;
        char buffer[1024];
        ssize_t size = read(fd, buffer, sizeof(buffer));
        if (size <= 0)
            return false;
        into.append(buffer, static_cast<size_t>(size));
        return true;
    }
    static void CloseFd(int& fd)
    {
        close(fd);
        fd = -1;
    }

    pid_t pid = -1;
    int outFd = -1;
    int errFd = -1;
    int inFd = -1;
    Outcome outcome;
};

bool Exited(int status, int code)
{
    return WIFEXITED(status) && WEXITSTATUS(status) == code;
}

std::string Describe(int status)
{
    std::ostringstream text;
    if (WIFEXITED(status))
        text << "exit " << WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        text << "signal " << WTERMSIG(status);
    else
        text << "status " << status;
    return text.str();
}

std::optional<pid_t> ReadPidFile()
{
    std::ifstream in(kPidFile);
    long pid = 0;
    if (!(in >> pid))
        return std::nullopt;
    return static_cast<pid_t>(pid);
}

bool PidFileExists()
{
    return access(kPidFile, F_OK) == 0;
}

class ServiceHost : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // The detached copy is orphaned by the start command; as subreaper the test adopts and
        // reaps it, otherwise its zombie keeps /proc/PID and so "a running instance" alive.
        ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    }

    void SetUp() override
    {
        unlink(kPidFile);
        sink.reset(new SysLogSink);
    }

    void TearDown() override
    {
        // A detached copy still running is ended here so the next test starts clean.
        std::optional<pid_t> pid = ReadPidFile();
        if (pid && *pid > 1 && *pid <= kPidMax && kill(*pid, 0) == 0) {
            kill(*pid, SIGKILL);
            FixtureRun::WaitExit(*pid);
        }
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        unlink(kPidFile);
        sink.reset();
    }

    // Starts a service in the foreground and waits until it is up.
    std::unique_ptr<FixtureRun> RunningService(const std::vector<std::string>& env = {})
    {
        auto run = std::make_unique<FixtureRun>(std::vector<std::string>{"nofork"}, env);
        EXPECT_TRUE(sink->WaitFor("Service up and running.", run->Pid()));
        return run;
    }

    std::unique_ptr<SysLogSink> sink;
};

// --- the detached copy --------------------------------------------------------------------

struct StartCase {
    std::vector<std::string> words;
    const char* childArgs; // what the detached copy's OnStart receives after argv[0]
};

void PrintTo(const StartCase& c, std::ostream* out)
{
    *out << "words";
    for (std::string word : c.words) {
        std::replace(word.begin(), word.end(), ' ', '+');
        *out << "_" << word;
    }
}

class StartCommand : public ServiceHost, public ::testing::WithParamInterface<StartCase> {};

TEST_P(StartCommand, TheCopyGetsTheWordsAfterNoforkAndRunsWhereItMayDumpCore)
{
    const StartCase c = GetParam();
    Outcome start = FixtureRun(c.words).Finish();
    EXPECT_TRUE(Exited(start.status, 0)) << Describe(start.status);
    EXPECT_EQ(start.out, "Starting tavo.... OK\n");

    std::optional<pid_t> service = ReadPidFile();
    ASSERT_TRUE(service);
    EXPECT_TRUE(sink->WaitFor(std::string("fixture: OnStart argv=") + kFixture + c.childArgs, *service));
    ASSERT_TRUE(sink->WaitFor("Service up and running.", *service));

    // The copy works in its core-dump directory with no core size limit.
    char cwd[256] = {};
    ASSERT_GT(readlink(("/proc/" + std::to_string(*service) + "/cwd").c_str(), cwd, sizeof(cwd) - 1), 0);
    EXPECT_STREQ(cwd, "/var/tmp/varnel/tavo");
    std::ifstream limits("/proc/" + std::to_string(*service) + "/limits");
    std::string limitsText((std::istreambuf_iterator<char>(limits)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(std::regex_search(limitsText, std::regex("Max core file size +unlimited +unlimited")));

    Outcome stop = FixtureRun({"stop"}).Finish();
    EXPECT_TRUE(Exited(stop.status, 0)) << Describe(stop.status);
    std::optional<int> status = FixtureRun::WaitExit(*service);
    ASSERT_TRUE(status);
    EXPECT_TRUE(Exited(*status, 0)) << Describe(*status);
    EXPECT_FALSE(PidFileExists());
}

INSTANTIATE_TEST_SUITE_P(Words, StartCommand,
                         ::testing::Values(StartCase{{}, " nofork"},                   // no word: start
                                           StartCase{{"start"}, " nofork start"},      // "nofork" goes first
                                           StartCase{{"start", "x y"}, " nofork start x y"}));

// The daemon always names its reason; the host's own text stands in when there is none.
TEST_F(ServiceHost, AStartFailureWithoutATextLogsTheHostsOwn)
{
    const std::string logged = "Unable to start: check logs for more info.";
    Outcome start = FixtureRun({"start"}, {"FIXTURE_START=fail"}).Finish();
    std::optional<SysLogLine> line = sink->WaitFor(logged);
    ASSERT_TRUE(line);
    EXPECT_EQ(line->pri, kPriWarning);
    if (start.out == "Starting tavo.... OK\n") {
        // The copy needed more than the start command's 250 ms to fail (a loaded machine, a
        // sanitizer build): then its own exit status is where the failure shows.
        std::optional<int> status = FixtureRun::WaitExit(line->pid);
        ASSERT_TRUE(status);
        EXPECT_TRUE(Exited(*status, 70)) << Describe(*status);
    } else {
        EXPECT_TRUE(Exited(start.status, 75)) << Describe(start.status);
        EXPECT_EQ(start.out, "Starting tavo.... FAIL\n");
        EXPECT_EQ(start.err, "ERROR: Premature child[" + std::to_string(line->pid) +
                                 "] process exit with code 70.\n");
    }
    EXPECT_FALSE(PidFileExists());
    EXPECT_EQ(sink->Count("Exiting at stop request..."), 0); // OnStop is not called
}

// --- the stop path ------------------------------------------------------------------------

struct SignalCase {
    const char* mode;
    int signal;
};

void PrintTo(const SignalCase& c, std::ostream* out)
{
    *out << c.mode << "_" << sigabbrev_np(c.signal);
}

class StopSignal : public ServiceHost, public ::testing::WithParamInterface<SignalCase> {};

TEST_P(StopSignal, EndsTheServiceOnAnOrdinaryThread)
{
    const SignalCase c = GetParam();
    const bool debug = std::string(c.mode) == "debug";
    FixtureRun run({c.mode}, {}, debug ? FixtureRun::Input::HeldPipe : FixtureRun::Input::DevNull);
    if (debug)
        ASSERT_TRUE(run.WaitForOutput("Press <ENTER> to stop tavo..."));
    else
        ASSERT_TRUE(sink->WaitFor("Service up and running.", run.Pid()));

    ASSERT_EQ(kill(run.Pid(), c.signal), 0);
    const pid_t pid = run.Pid();
    Outcome outcome = run.Finish();
    EXPECT_TRUE(Exited(outcome.status, 0)) << Describe(outcome.status);
    EXPECT_FALSE(PidFileExists());
    // OnStop ran on the main thread, outside the signal handler, while the pid file existed.
    EXPECT_TRUE(sink->WaitFor("fixture: OnStop main=1 blocked=0 pidfile=1", pid));
    std::optional<SysLogLine> exiting = sink->WaitFor("Exiting at stop request...", pid);
    ASSERT_TRUE(exiting);
    EXPECT_EQ(exiting->pri, kPriNotice);
    EXPECT_LT(sink->IndexOf("fixture: OnStop main=1 blocked=0 pidfile=1"), sink->IndexOf("Exiting at stop request..."));
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignal,
                         ::testing::Values(SignalCase{"nofork", SIGTERM}, SignalCase{"nofork", SIGINT},
                                           SignalCase{"nofork", SIGQUIT}, SignalCase{"debug", SIGTERM},
                                           SignalCase{"debug", SIGINT}, SignalCase{"debug", SIGQUIT}));

TEST_F(ServiceHost, SecondStopSignalWhileStoppingIsIgnored)
{
    const std::string gate = "/run/stop-gate";
    ASSERT_EQ(mkfifo(gate.c_str(), 0600), 0);
    auto service = RunningService({"FIXTURE_STOP_GATE=" + gate});
    kill(service->Pid(), SIGTERM);
    ASSERT_TRUE(sink->WaitFor("fixture: OnStop main=1 blocked=0 pidfile=1", service->Pid()));
    // OnStop is now blocked on the gate; a second request arrives meanwhile.
    kill(service->Pid(), SIGINT);
    kill(service->Pid(), SIGQUIT);
    int fd = open(gate.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "x", 1), 1);
    close(fd);

    EXPECT_TRUE(Exited(service->Finish().status, 0));
    EXPECT_EQ(sink->Count("fixture: OnStop main=1 blocked=0 pidfile=1"), 1);
    EXPECT_EQ(sink->Count("Exiting at stop request..."), 1);
    unlink(gate.c_str());
}

// --- in process ---------------------------------------------------------------------------

class Plain : public basekit::service::KServiceBase {
public:
    Plain() : KServiceBase("plain") {}
};

TEST(ServiceHostInstance, ASecondServiceObjectIsRefused)
{
    static Plain first; // the instance pointer is never cleared, so the first one must outlive the test
    EXPECT_EQ(basekit::service::KServiceBase::_Instance(nullptr), &first);
    try {
        Plain second;
        FAIL() << "a second KServiceBase was accepted";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "Only one instance of KServiceBase class is permitted!");
    }
    EXPECT_THROW(basekit::service::KServiceBase::_Instance(&first), std::logic_error);
    EXPECT_EQ(basekit::service::KServiceBase::_Instance(nullptr), &first);
}

} // namespace
