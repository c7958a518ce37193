#include "Basekit/LM7/Basics/KServiceBaseLinux.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <sysexits.h>
#include <unistd.h>

#include "Basekit/KFileDescriptor.h"
#include "Basekit/KHostSystem.h"

namespace {

const unsigned kStartCheckMs = 250;
const int kSleepStepMs = 5000;
const size_t kPidTextLimit = 12;
const char kServiceRoot[] = "/var/tmp/varnel";

// A stop signal is handed to the main thread through this pipe: the handler writes the signal
// number, the only thing it may safely do, and OnStop runs where no lock can be held by the
// interrupted code.
int stopPipe[2] = {-1, -1};
// Set once the process is a service (foreground modes); before that a stop signal ends the
// process like any other command.
std::atomic<bool> serviceRole{false};
// The first stop signal is passed on; later ones are dropped while the stop path runs.
std::atomic<bool> stopRequested{false};
std::atomic<bool> stopping{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs lock-free flags");

basekit::service::KServiceBase* registered = nullptr;


// The program a /proc/PID/exe link names, without the " (deleted)" the kernel appends once the
// file has been replaced; empty (errno set) when the link cannot be read.
std::string ProgramPath(const std::string& link)
{
    char buffer[4096];
    const ssize_t size = readlink(link.c_str(), buffer, sizeof(buffer) - 1);
    if (size <= 0)
        return std::string();
    std::string path(buffer, static_cast<size_t>(size));
    static const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
        path.resize(path.size() - deleted.size());
    return path;
}

// A live pid from the pid file is an instance only if it runs this program: after a crash the
// pid may belong to anything, which neither blocks a start nor gets the stop signal. After a
// package upgrade the old daemon runs a deleted file with another inode than the new binary, and
// stopping it is just what the operator wants: the same path counts as well as the same file.
bool RunsThisProgram(const char* pid)
{
    const std::string link = std::string("/proc/") + pid + "/exe";
    struct stat mine{}, theirs{};
    if (stat("/proc/self/exe", &mine) == 0 && stat(link.c_str(), &theirs) == 0 && mine.st_dev == theirs.st_dev &&
        mine.st_ino == theirs.st_ino)
        return true;
    const std::string path = ProgramPath(link);
    if (path.empty())
        // Another user's process (only root may read its link) could not be signalled by this
        // caller either: without root the liveness answer stands, as it always did.
        return errno == EACCES || errno == EPERM;
    return path == ProgramPath("/proc/self/exe");
}

bool IsDecimal(const char* text)
{
    if (!*text)
        return false;
    for (; *text; ++text)
        if (*text < '0' || *text > '9')
            return false;
    return true;
}

bool IsStopSignal(int signal)
{
    return signal >= 0 && signal < 16 && ((0x820c >> signal) & 1) != 0;
}

void PrintResult(const char* result)
{
    printf("%s\n", result);
    fflush(stdout);
}

} // namespace

extern "C" void KServiceBase_SignalHandler(int signal)
{
    const int savedErrno = errno;
    const bool stop = IsStopSignal(signal);
    if (stop && !serviceRole.load()) {
        ::signal(signal, SIG_DFL);
        raise(signal);
    } else if (!stop || !stopRequested.exchange(true)) {
        unsigned char number = static_cast<unsigned char>(signal);
        if (stopPipe[1] >= 0) {
            ssize_t written = write(stopPipe[1], &number, 1);
            (void)written; // a full pipe already holds a request
        }
    }
    errno = savedErrno;
}

namespace basekit {
namespace service {

KServiceBase::KServiceBase(const kstring& name) : KServiceBase(name, name) {}

KServiceBase::KServiceBase(const kstring& name, const kstring& description)
    : ServiceName(name), ServiceDescription(description)
{
    _Instance(this);
}

KServiceBase::~KServiceBase() = default;

bool KServiceBase::OnStart(const std::vector<kstring>&)
{
    return false;
}

bool KServiceBase::OnStop()
{
    return false;
}

void KServiceBase::OnPause() {}
void KServiceBase::OnContinue() {}
void KServiceBase::OnShutDown() {}

KServiceBase* KServiceBase::_Instance(KServiceBase* candidate)
{
    if (!registered)
        registered = candidate;
    else if (candidate)
        throw std::logic_error("Only one instance of KServiceBase class is permitted!");
    return registered;
}

int KServiceBase::Main(int argc, char** argv)
{
    _NotifyThreadInit("Basekit/LM7/Basics/KServiceBaseLinux", "Main", 52);
    if (stopPipe[0] < 0 && pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        // Without the pipe the main thread still sees the request flag at its next step.
        stopPipe[0] = stopPipe[1] = -1;
    }
    signal(SIGTERM, KServiceBase_SignalHandler);
    signal(SIGINT, KServiceBase_SignalHandler);
    signal(SIGQUIT, KServiceBase_SignalHandler);
    signal(SIGHUP, SIG_IGN);

    PidFile.Format("/var/run/%s.pid", ServiceName.c_str());

    const char* program = argc > 0 && argv[0] ? argv[0] : "";
    const char* word = argc >= 2 && argv[1] ? argv[1] : "";
    bool startMode = false;
    if (argc < 2 || strcmp(word, "start") == 0) {
        startMode = true;
    } else if (strcmp(word, "stop") == 0) {
        return StopDaemon();
    } else if (strcmp(word, "debug") == 0) {
        Debug = true;
    } else if (strcmp(word, "nofork") != 0) {
        fprintf(stderr, "Usage: %s <start|stop|debug>\n", program);
        return EX_USAGE;
    }

    if (TestPidFile(nullptr)) {
        fprintf(stderr, "ERROR: pid file %s already exists, use \"%s stop\" (or delete the file).\n",
                PidFile.c_str(), ServiceName.c_str());
        return EX_TEMPFAIL;
    }
    if (startMode)
        return StartDaemon(argc, argv);

    // From here on a stop signal is queued for the main thread, also while OnStart runs.
    serviceRole = true;
    // Whatever umask the operator's shell had, the service's files (logs, board files, cores)
    // are for root and its group only. Set once the process is the service: the command roles
    // create nothing, and it must hold before the pid file, the core directory and OnStart.
    // The log directory is made earlier, during static initialisation, so the log writer
    // gives its files and directories explicit modes as well.
    umask(027);
    if (!CreatePidFile(0)) {
        Log(LOG_EMERG, "Unable to create PID file, aborting!");
        return EX_TEMPFAIL;
    }
    ActiveCoredump();

    std::vector<kstring> args(argv, argv + argc);
    Log(LOG_INFO, "Starting service...");
    if (!OnStart(args)) {
        Log(LOG_WARNING, fstring("Unable to start: %s", ErrorText.empty() ? "check logs for more info." : ErrorText.c_str()));
        RemovePidFile();
        return EX_SOFTWARE;
    }
    if (Debug) {
        printf("Press <ENTER> to stop %s...", ServiceName.c_str());
        fflush(stdout);
    } else {
        Log(LOG_NOTICE, "Service up and running.");
    }
    WaitForStop();
}

void KServiceBase::WaitForStop()
{
    for (;;) {
        // Standard input is watched in debug mode only: Enter or its end stops the service.
        pollfd watched[2] = {{stopPipe[0], POLLIN, 0}, {Debug ? STDIN_FILENO : -1, POLLIN, 0}};
        int ready = poll(watched, 2, kSleepStepMs);
        if (ready > 0 && (watched[0].revents & POLLIN)) {
            unsigned char numbers[16];
            ssize_t count = read(stopPipe[0], numbers, sizeof(numbers));
            for (ssize_t i = 0; i < count; ++i)
                if (!IsStopSignal(numbers[i]))
                    Log(LOG_WARNING, fstring("Unhandled signal (%d) %s ", numbers[i], strsignal(numbers[i])));
        }
        if (stopRequested)
            _StopRequest();
        if (ready > 0 && watched[1].revents != 0) {
            char key = 0;
            ssize_t count = read(STDIN_FILENO, &key, 1);
            (void)count; // a character, the end of input and a read error all stop
            _StopRequest();
        }
    }
}

int KServiceBase::StartDaemon(int argc, char** argv)
{
    printf("Starting %s.... ", ServiceName.c_str());
    fflush(stdout);

    if (getuid() != 0 || geteuid() != 0) {
        passwd* root = getpwnam("root");
        if (root && setuid(root->pw_uid) != 0) {
            const int error = errno;
            PrintResult("FAIL");
            fprintf(stderr, "ERROR: Unable to set UID: (%d) %s. Are you root?\n", error, strerror(error));
            return EX_NOPERM;
        }
    }

    const pid_t child = fork();
    if (child < 0) {
        const int error = errno;
        PrintResult("FAIL");
        fprintf(stderr, "ERROR: Could not create child process: (%d) %s.\n", error, strerror(error));
        return EX_OSERR;
    }
    if (child == 0) {
        static char nofork[] = "nofork";
        std::vector<char*> list;
        list.push_back(argv[0]);
        list.push_back(nofork);
        for (int i = 1; i < argc; ++i)
            list.push_back(argv[i]);
        list.push_back(nullptr);
        int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, STDIN_FILENO);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
            if (null > STDERR_FILENO)
                close(null);
        }
        execvp(argv[0], list.data());
        const int error = errno;
        Log(LOG_WARNING, fstring("Unable to execute child process: (%d) %s.", error, strerror(error)));
        return EX_OSERR;
    }

    KHostSystem::Delay(kStartCheckMs);
    int status = 0;
    const pid_t result = waitpid(child, &status, WNOHANG);
    if (result == 0) {
        PrintResult("OK");
        return EX_OK;
    }
    if (result < 0) {
        // The child's fate is unknown; it most likely runs, and the operator is told to check.
        const int error = errno;
        PrintResult("OK");
        fprintf(stderr, "WARNING: Unable to check child[%d] status due to error: (%d) %s.\n", child, error,
                strerror(error));
        return EX_OK;
    }
    // Ended by a signal within the check: not running either, reported with the shell's
    // 128 + signal number as its code.
    const int code = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    PrintResult("FAIL");
    fprintf(stderr, "ERROR: Premature child[%d] process exit with code %d.\n", child, code);
    return EX_TEMPFAIL;
}

int KServiceBase::StopDaemon()
{
    printf("Stopping %s.... ", ServiceName.c_str());
    fflush(stdout);

    FILE* in = nullptr;
    if (!TestPidFile(nullptr) || !(in = fopen(PidFile.c_str(), "re"))) {
        const int error = errno;
        PrintResult("FAIL");
        fprintf(stderr, "ERROR: Unable to open pid file '%s': (%d) %s.\n", PidFile.c_str(), error, strerror(error));
        return EX_TEMPFAIL;
    }
    int pid = 0;
    if (fscanf(in, "%d", &pid) != 1)
        pid = 0;
    const int readError = errno;
    fclose(in);
    // A negative number would signal a whole process group; it is no pid either.
    if (pid <= 0) {
        PrintResult("FAIL");
        fprintf(stderr, "ERROR: Unable to read pid file '%s': (%d) %s.", PidFile.c_str(), readError,
                strerror(readError));
        return EX_IOERR;
    }
    if (kill(pid, SIGTERM) != 0) {
        const int error = errno;
        PrintResult("FAIL");
        fprintf(stderr, "ERROR: Unable to send signal to pid %d: (%d) %s.", pid, error, strerror(error));
        return EX_OSERR;
    }
    PrintResult("OK");
    return EX_OK;
}

void KServiceBase::_StopRequest()
{
    if (stopping.exchange(true)) {
        for (;;)
            pause();
    }
    stopRequested = true;
    OnStop();
    RemovePidFile();
    Log(LOG_NOTICE, "Exiting at stop request...");
    exit(EX_OK);
}

FILE* KServiceBase::OpenPidFile()
{
    // Root truncates and writes this file: a link in its place (a shared or misconfigured run
    // directory) must not lead that write anywhere else.
    const int fd = open(PidFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        const int error = errno;
        Log(LOG_WARNING, fstring("open( %s ) failed: (%d) %s.", PidFile.c_str(), error, strerror(error)));
        return nullptr;
    }
    // Status tools read the pid file, so it stays world-readable under the service's umask.
    struct stat info{};
    if (fstat(fd, &info) == 0 && (info.st_mode & 07777) != 0644 && info.st_uid == geteuid())
        (void)fchmod(fd, 0644); // a failure leaves a stricter mode, nothing worse
    FILE* stream = fdopen(fd, "w+");
    if (!stream) {
        const int error = errno;
        Log(LOG_WARNING, fstring("fdopen( %s ) failed: (%d) %s.", PidFile.c_str(), error, strerror(error)));
        close(fd);
        return nullptr;
    }
    while (lockf(fd, F_LOCK, 0) != 0) {
        const int error = errno;
        if (error == EAGAIN || error == EACCES || error == EINTR)
            continue;
        Log(LOG_WARNING, fstring("lockf( %s, F_LOCK ) failed: (%d) %s.", PidFile.c_str(), error, strerror(error)));
        fclose(stream);
        return nullptr;
    }
    return stream;
}

void KServiceBase::ClosePidFile(FILE* stream)
{
    if (!stream)
        return;
    // The lock covers the file from offset 0; unlock from there too.
    rewind(stream);
    if (lockf(fileno(stream), F_ULOCK, 0) != 0) {
        const int error = errno;
        Log(LOG_NOTICE, fstring("lockf( %s, F_ULOCK ) failed: (%d) %s.", PidFile.c_str(), error, strerror(error)));
    }
    fclose(stream);
}

bool KServiceBase::TestPidFile(FILE* stream)
{
    struct stat info{};
    const int rc = stream ? fstat(fileno(stream), &info) : stat(PidFile.c_str(), &info);
    if (rc != 0)
        return false;
    return TestPidProc(stream);
}

bool KServiceBase::TestPidProc(FILE* stream)
{
    FILE* file = stream;
    if (file) {
        if (ftell(file) != 0)
            rewind(file);
    } else if (!(file = OpenPidFile())) {
        return false;
    }
    auto release = [&] {
        if (!stream)
            ClosePidFile(file);
    };

    char text[kPidTextLimit + 1] = {};
    const size_t count = fread(text, 1, kPidTextLimit, file);
    if (count == 0 && ferror(file)) {
        if (!stream) {
            const int error = errno;
            Log(LOG_WARNING, fstring("fread( %s ) failed: (%d) %s.", PidFile.c_str(), error, strerror(error)));
        }
        release();
        return false;
    }
    if (count == 0) {
        release();
        return false;
    }
    if (count == kPidTextLimit) {
        Log(LOG_EMERG, "Buffer overflow, reading pidfile.");
        release();
        return false;
    }
    if (stream)
        rewind(file);
    else
        release();

    text[count - 1] = '\0'; // the line end written with the pid
    char path[4096];
    snprintf(path, sizeof(path), "/proc/%s", text);
    if (access(path, R_OK) != 0)
        return false;
    if (IsDecimal(text) && !RunsThisProgram(text)) {
        Log(LOG_NOTICE, fstring("PID %s in the pid file is another program, not an instance.", text));
        errno = ESRCH;
        return false;
    }
    Log(LOG_NOTICE, fstring("It seems that there is an instance of the process running as PID %s.", text));
    return true;
}

bool KServiceBase::CreatePidFile(int pid)
{
    FILE* stream = OpenPidFile();
    if (!stream)
        return false;
    if (TestPidFile(stream)) {
        ClosePidFile(stream);
        return false;
    }
    if (ftruncate(fileno(stream), 0) != 0) {
        const int error = errno;
        Log(LOG_WARNING,
            fstring("ftruncate( %s, 0 ) failed, aborting: (%d) %s.", PidFile.c_str(), error, strerror(error)));
        ClosePidFile(stream);
        return false;
    }
    rewind(stream);
    // A pid that never reaches the disk would leave an empty file that no stop can use.
    const bool written = fprintf(stream, "%d\n", pid ? pid : static_cast<int>(getpid())) > 0 && fflush(stream) == 0;
    ClosePidFile(stream);
    return written;
}

void KServiceBase::RemovePidFile()
{
    unlink(PidFile.c_str());
}

void KServiceBase::ActiveCoredump()
{
    const kstring directory = fstring("%s/%s", kServiceRoot, ServiceName.c_str());
    auto logError = [this](const char* call, const char* path) {
        const int error = errno;
        Log(LOG_WARNING, fstring("%s(%s): (%d) %s.", call, path, error, strerror(error)));
    };
    // /var/tmp is writable by everybody: whoever made /var/tmp/varnel, or a link there, would
    // choose where root's core files land. Each level is opened without following a link and
    // must be root's and writable by nobody else; otherwise the service stays where it is.
    auto openOwned = [this](int parent, const char* name, const char* path) {
        basekit::KFileDescriptor opened(openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        const int fd = opened.Get();
        const int error = errno;
        struct stat info{};
        kstring reason;
        if (fd < 0 && fstatat(parent, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode))
            reason = "it is a symbolic link";
        else if (fd < 0)
            reason.Format("(%d) %s", error, strerror(error));
        else if (fstat(fd, &info) != 0)
            reason.Format("(%d) %s", errno, strerror(errno));
        else if (info.st_uid != 0)
            reason.Format("its owner is uid %u, not root", static_cast<unsigned>(info.st_uid));
        else if (info.st_mode & (S_IWGRP | S_IWOTH))
            reason.Format("it is writable by group or others (mode %04o)", static_cast<unsigned>(info.st_mode & 07777));
        if (!reason.empty()) {
            Log(LOG_WARNING, fstring("Core directory %s refused: %s.", path, reason.c_str()));
            opened.Reset();
        }
        return opened;
    };
    if (mkdir(kServiceRoot, 0755) != 0 && errno != EEXIST) {
        logError("mkdir", kServiceRoot);
    } else {
        basekit::KFileDescriptor root = openOwned(AT_FDCWD, kServiceRoot, kServiceRoot);
        if (root.Get() >= 0) {
            if (mkdirat(root.Get(), ServiceName.c_str(), 0755) != 0 && errno != EEXIST) {
                logError("mkdir", directory.c_str());
            } else {
                basekit::KFileDescriptor service = openOwned(root.Get(), ServiceName.c_str(), directory.c_str());
                if (service.Get() >= 0 && fchdir(service.Get()) != 0)
                    logError("chdir", directory.c_str());
            }
        }
    }
    rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
    if (setrlimit(RLIMIT_CORE, &unlimited) != 0) {
        const int error = errno;
        Log(LOG_WARNING, fstring("setrlimit(): (%d) %s.", error, strerror(error)));
    }
}

void KServiceBase::Log(int priority, const kstring& text)
{
    openlog(ServiceName.c_str(), LOG_PID, LOG_LOCAL5);
    syslog(priority, "%s", text.c_str());
    closelog();
}

} // namespace service
} // namespace basekit
