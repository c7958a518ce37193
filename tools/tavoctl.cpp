// tavoctl: asks the running tavo daemon, over its control socket, for its status, boards,
// counters or metrics and prints the answer. Exit status: 0 answered, 1 the daemon answered an error,
// 64 usage, 69 no daemon on the socket.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sysexits.h>
#include <unistd.h>

#include "Basekit/KFileDescriptor.h"
#include "Basekit/KWireText.h"
#include "Tools/TAVO/KControlServer.h"

namespace {

const size_t MaxAnswer = 4 << 20; // far above any answer; a runaway peer is cut off here
const int TimeoutSeconds = 5;

int Usage()
{
    std::fprintf(stderr, "usage: tavoctl [--socket PATH] status|boards|counters|metrics [--json] | boards --watch\n");
    return EX_USAGE;
}

// The answer came off a socket: each of its lines is shown with the wire-text escaping of the
// daemon's log, so a confused or hostile peer cannot drive the operator's terminal.
std::string Printable(const std::string& text)
{
    std::string out;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        out += basekit::EscapeWireText(text.substr(start, end - start)) + "\n";
    return out + basekit::EscapeWireText(text.substr(start));
}

int Unavailable(const std::string& path, const char* what)
{
    std::fprintf(stderr, "tavoctl: no answer from a daemon on %s: %s\n", Printable(path).c_str(), what);
    return EX_UNAVAILABLE;
}

// One request, one answer: 0 with the answer, else the exit status (the reason told).
int Ask(const std::string& path, const std::string& request, std::string& answer)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path)
        return Usage();
    std::memcpy(address.sun_path, path.c_str(), path.size());
    const basekit::KFileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.Get() < 0)
        return Unavailable(path, std::strerror(errno));
    const timeval timeout{TimeoutSeconds, 0};
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return Unavailable(path, std::strerror(errno));
    if (::send(fd.Get(), request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
        return Unavailable(path, std::strerror(errno));
    answer.clear();
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(fd.Get(), buffer, sizeof buffer, 0);
        if (n == 0)
            break;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return Unavailable(path, errno == EAGAIN ? "no answer in time" : std::strerror(errno));
        answer.append(buffer, static_cast<size_t>(n));
        if (answer.size() > MaxAnswer)
            return Unavailable(path, "answer too long");
    }
    if (answer.empty())
        return Unavailable(path, "closed without an answer");
    if (answer.compare(0, 7, "error: ") == 0) {
        std::fprintf(stderr, "tavoctl: %s", Printable(answer).c_str());
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    std::string path = KControlServer::ConfiguredPath();
    std::string command;
    bool json = false, watch = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--socket" && i + 1 < argc)
            path = argv[++i];
        else if (arg == "--json")
            json = true;
        else if (arg == "--watch")
            watch = true;
        else if ((arg == "status" || arg == "boards" || arg == "counters" || arg == "metrics") && command.empty())
            command = arg;
        else
            return Usage();
    }
    if (command.empty() || (json && command == "metrics") || (watch && (command != "boards" || json)))
        return Usage();

    const std::string request = command + (json ? " json" : "") + "\n";
    std::string answer;
    if (!watch) {
        const int status = Ask(path, request, answer);
        if (status != 0)
            return status;
        std::fputs(Printable(answer).c_str(), stdout);
        return std::fflush(stdout) == 0 ? 0 : EX_IOERR;
    }
    // A rack powering on, redrawn every second until interrupted or the daemon goes away.
    for (;;) {
        const int status = Ask(path, request, answer);
        if (status != 0)
            return status;
        std::printf("\033[H\033[2J%s", Printable(answer).c_str());
        if (std::fflush(stdout) != 0)
            return EX_IOERR;
        ::sleep(1);
    }
}
