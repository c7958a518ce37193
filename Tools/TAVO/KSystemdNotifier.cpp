#include "Tools/TAVO/KSystemdNotifier.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "Basekit/KFileDescriptor.h"

KSystemdNotifier::KSystemdNotifier()
{
    const char* socket = std::getenv("NOTIFY_SOCKET");
    // Only absolute paths and abstract addresses are systemd's; anything else is ignored.
    if (socket && (socket[0] == '/' || socket[0] == '@') && std::strlen(socket) > 1 &&
        std::strlen(socket) < sizeof(sockaddr_un::sun_path)) {
        Address = socket;
        if (Address[0] == '@')
            Address[0] = '\0';
    }
    // The watchdog is for the process systemd started: a child of it would inherit the
    // variables, but not the duty.
    const char* pid = std::getenv("WATCHDOG_PID");
    const char* usec = std::getenv("WATCHDOG_USEC");
    if (usec && (!pid || std::strtol(pid, nullptr, 10) == static_cast<long>(getpid())))
        Watchdog = std::strtoull(usec, nullptr, 10);
}

KSystemdNotifier& KSystemdNotifier::Process()
{
    // Never destroyed: a reload pass may still report while static destructors run.
    static KSystemdNotifier* const notifier = new KSystemdNotifier;
    return *notifier;
}

bool KSystemdNotifier::Send(const std::string& state) const
{
    if (Address.empty())
        return false;
    basekit::KFileDescriptor fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (fd.Get() < 0)
        return false;
    sockaddr_un to{};
    to.sun_family = AF_UNIX;
    std::memcpy(to.sun_path, Address.data(), Address.size());
    const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + Address.size() +
                                                    (Address[0] == '\0' ? 0 : 1));
    // Never blocks a server: a full socket loses the message, the next one says it again.
    const ssize_t sent = ::sendto(fd.Get(), state.data(), state.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
                                  reinterpret_cast<const sockaddr*>(&to), length);
    return sent == static_cast<ssize_t>(state.size());
}

void KSystemdNotifier::SetStatusSource(std::function<std::string()> source)
{
    std::lock_guard<std::mutex> lock(SourceMutex);
    Source = std::move(source);
}

std::string KSystemdNotifier::Status() const
{
    std::function<std::string()> source;
    {
        std::lock_guard<std::mutex> lock(SourceMutex);
        source = Source;
    }
    return source ? source() : std::string();
}

void KSystemdNotifier::SendStatus() const
{
    if (!Enabled())
        return;
    const std::string status = Status();
    if (!status.empty())
        Send("STATUS=" + status);
}

void KSystemdNotifier::Ready()
{
    Serving = true;
    Reloaded();
}

void KSystemdNotifier::Stopping()
{
    Serving = false;
    Send("STOPPING=1");
}

void KSystemdNotifier::Reloading() const
{
    if (Serving)
        Send("RELOADING=1");
}

void KSystemdNotifier::Reloaded() const
{
    if (!Enabled() || !Serving)
        return;
    const std::string status = Status();
    Send(status.empty() ? std::string("READY=1") : "READY=1\nSTATUS=" + status);
}
