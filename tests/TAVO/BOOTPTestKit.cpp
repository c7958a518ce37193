#include "tests/TAVO/BOOTPTestKit.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <sys/wait.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>


namespace bootptest {

int Sh(const std::string& command)
{
    int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

namespace {

const char* const TavoLog = "/var/log/varnel/tavo.log";

} // namespace

std::vector<std::string> BootpLines()
{
    // "E|dd/mm/yyyy hh:mm:ss.mmm|BOOTP   | text"
    std::vector<std::string> out;
    for (const std::string& line : testkit::Lines(TavoLog)) {
        size_t name = line.find("|BOOTP   | ");
        if (line.size() > 2 && name != std::string::npos)
            out.push_back(line.substr(0, 1) + "| " + line.substr(name + 11));
    }
    return out;
}

bool WaitForBootpLine(const std::string& wanted, size_t count, unsigned ms)
{
    return testkit::WaitUntil(
        [&] {
            size_t seen = 0;
            for (const std::string& line : BootpLines())
                seen += line == wanted;
            return seen >= count;
        },
        ms);
}

std::vector<std::string> LogLinesWith(const std::string& text)
{
    std::vector<std::string> out;
    for (const std::string& line : testkit::Lines(TavoLog))
        if (line.find(text) != std::string::npos)
            out.push_back(line);
    return out;
}

int NamespaceSocket(const std::string& ns, int port)
{
    int fd = -1;
    // setns moves only the calling thread, so a short-lived thread makes the socket there.
    std::thread maker([&] {
        int nsFd = ::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        if (nsFd < 0)
            return;
        if (::setns(nsFd, CLONE_NEWNET) == 0) {
            fd = ::socket(AF_INET, SOCK_DGRAM, 0);
            int on = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on));
            sockaddr_in local {};
            local.sin_family = AF_INET;
            local.sin_port = htons(static_cast<uint16_t>(port));
            if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
                ::close(fd);
                fd = -1;
            }
        }
        ::close(nsFd);
    });
    maker.join();
    return fd;
}

bool SendTo(int fd, const std::vector<unsigned char>& bytes, const std::string& address, int port)
{
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = inet_addr(address.c_str());
    return ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)) ==
           static_cast<ssize_t>(bytes.size());
}

std::vector<unsigned char> ReceiveFrom(int fd, unsigned ms)
{
    pollfd wait {fd, POLLIN, 0};
    if (::poll(&wait, 1, static_cast<int>(ms)) <= 0)
        return {};
    std::vector<unsigned char> buffer(2048);
    ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
    buffer.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return buffer;
}

std::vector<unsigned char> BoardRequest(unsigned serial, const std::string& identification)
{
    std::vector<unsigned char> p(240, 0);
    p[0] = 1;    // op: request
    p[1] = 1;    // htype: Ethernet
    p[2] = 6;    // hlen
    p[28] = 0x0A; // chaddr: NDX prefix 0A:3D:91, then the serial
    p[29] = 0x3D;
    p[30] = 0x91;
    p[31] = static_cast<unsigned char>(serial >> 16);
    p[32] = static_cast<unsigned char>(serial >> 8);
    p[33] = static_cast<unsigned char>(serial);
    p[236] = 99; // magic cookie 99.130.83.99
    p[237] = 130;
    p[238] = 83;
    p[239] = 99;
    if (!identification.empty()) {
        p.push_back(43); // vendor-specific option
        p.push_back(static_cast<unsigned char>(identification.size()));
        p.insert(p.end(), identification.begin(), identification.end());
    }
    p.push_back(255); // end
    return p;
}

} // namespace bootptest
