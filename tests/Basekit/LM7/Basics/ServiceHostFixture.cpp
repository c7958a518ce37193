// A service named "tavo" for the service-host tests. Only argv[1] is examined by the host, so
// the environment steers it:
//   FIXTURE_START=<anything>           OnStart fails without an error text
//   FIXTURE_STOP_GATE=<fifo>           OnStop waits (at most 20 s) for a byte on that FIFO
// It reports OnStart and OnStop through the system log so that the tests see their order
// among the host's own lines.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include "Basekit/LM7/Basics/KServiceBaseLinux.h"

namespace {

// Waits at most 20 s for a byte; poll is interrupted by the signals the test sends meanwhile
// and simply resumes.
void WaitForGate(const char* fifo)
{
    pollfd gate{open(fifo, O_RDONLY | O_NONBLOCK | O_CLOEXEC), POLLIN, 0};
    while (gate.fd >= 0 && poll(&gate, 1, 20000) < 0 && errno == EINTR) {
    }
    close(gate.fd);
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
        return !getenv("FIXTURE_START"); // set: fail
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
