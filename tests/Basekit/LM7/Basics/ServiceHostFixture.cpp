// A service named "tavo" for the service-host tests. Only argv[1] is examined by the host, so
// the environment steers it:
//   FIXTURE_START=fail                 OnStart fails without an error text
//   FIXTURE_STOP_GATE=<fifo>           OnStop waits (at most 20 s) for a byte on that FIFO
// It reports OnStart and OnStop through the system log so that the tests see their order
// among the host's own lines.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include "Basekit/LM7/Basics/KServiceBaseLinux.h"

namespace {

const int kGateLimitMs = 20000;

void WaitForGate(const char* fifo)
{
    int fd = open(fifo, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    pollfd gate{fd, POLLIN, 0};
    // poll is interrupted by the signals the test sends meanwhile; it simply resumes.
    while (poll(&gate, 1, kGateLimitMs) < 0 && errno == EINTR) {
    }
    close(fd);
}

class FixtureService : public basekit::service::KServiceBase {
public:
    FixtureService() : KServiceBase("tavo", "Tavoline") {}

    bool OnStart(const std::vector<kstring>& args) override
    {
        kstring line("fixture: OnStart argv=");
        for (size_t i = 0; i < args.size(); ++i)
            line += (i ? " " : "") + args[i];
        Log(LOG_INFO, line);
        const char* mode = getenv("FIXTURE_START");
        return !(mode && strcmp(mode, "fail") == 0);
    }

    bool OnStop() override
    {
        sigset_t blocked;
        pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
        const bool inHandler =
            sigismember(&blocked, SIGTERM) || sigismember(&blocked, SIGINT) || sigismember(&blocked, SIGQUIT);
        const bool mainThread = syscall(SYS_gettid) == getpid();
        const bool pidFile = access(PidFilePath().c_str(), F_OK) == 0;
        Log(LOG_INFO, fstring("fixture: OnStop main=%d blocked=%d pidfile=%d", mainThread, inHandler, pidFile));
        if (const char* gate = getenv("FIXTURE_STOP_GATE"))
            WaitForGate(gate);
        return true;
    }
};

} // namespace

int main(int argc, char** argv)
{
    FixtureService service;
    return service.Main(argc, argv);
}
