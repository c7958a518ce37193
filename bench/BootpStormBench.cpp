// Power-up storm against the real KBOOTPServer, inside a sandbox (tests/support/sandbox_run):
// 200 boards on two interfaces ask at once and repeat every second until answered, like
// bootloaders do. Every configured address is silent, so each request spends the 500 ms probe.
// Prints replies per second, latency minus the probe (median, 99th percentile), requests
// dropped by the thread bound, CPU time per request and peak RSS; then the cost of the
// decision part alone (run under the server's one lock, with the devices.yaml reload).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "Tools/TAVO/KBOOTPServer.h"
#include "Tools/TAVO/KNETInterface.h"
#include "tests/TAVO/TAVOTestKit.h"

namespace {

using Clock = std::chrono::steady_clock;
const int Boards = 200;

unsigned int SerialOf(int board) { return 0x1000 + static_cast<unsigned int>(board); }
// Boards 0..99 on 192.0.2.0/24, 100..199 on 198.51.100.0/24.
std::string AddressOf(int board)
{
    return (board < 100 ? "192.0.2." : "198.51.100.") + std::to_string(10 + board % 100);
}
const char* BroadcastOf(int board) { return board < 100 ? "192.0.2.255" : "198.51.100.255"; }

double CpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A UDP socket made inside the named network namespace and bound there to 0.0.0.0:port,
// broadcast enabled; -1 on failure. setns moves only the calling thread, so a short-lived
// thread makes the socket there.
int NamespaceSocket(const std::string& ns, int port)
{
    int fd = -1;
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

void SendTo(int fd, const std::vector<unsigned char>& bytes, const std::string& address, int port)
{
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = inet_addr(address.c_str());
    ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
}

// One datagram within ms; empty when none came.
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

class DecisionOnly : public KBOOTPServer {
public:
    using KBOOTPServer::UseInterfaces;
    bool Decide(const std::vector<unsigned char>& request)
    {
        PreparedReply reply;
        return PrepareReply(request.data(), static_cast<int>(request.size()), true, reply);
    }
};

bool Setup()
{
    using tavotest::Sh;
    bool ok = Sh("ip netns add tvboard") == 0;
    const char* links[][4] = {{"tvh0", "tvb0", "192.0.2.1/24", "192.0.2.250/24"},
                              {"tvh1", "tvb1", "198.51.100.1/24", "198.51.100.250/24"}};
    for (auto& l : links) {
        ok = ok && Sh(std::string("ip link add ") + l[0] + " type veth peer name " + l[1] + " && ip link set " + l[1] +
                      " netns tvboard && ip addr add " + l[2] + " brd + dev " + l[0] + " && ip link set " + l[0] +
                      " up") == 0;
        ok = ok && Sh(std::string("ip netns exec tvboard sh -c 'ip link set lo up && ip addr add ") + l[3] +
                      " brd + dev " + l[1] + " && ip link set " + l[1] + " up'") == 0;
    }
    std::ofstream devices("/etc/varnel/config/devices.yaml");
    devices << "Devices:\n";
    for (int b = 0; b < Boards; ++b)
        devices << "  - " << SerialOf(b) << ": {Type: NDX_V2, IP: " << AddressOf(b) << "}\n";
    return ok && devices.good();
}

double Percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[std::min(values.size() - 1, static_cast<size_t>(p * values.size()))];
}

} // namespace

int main()
{
    if (!Setup()) {
        std::fprintf(stderr, "network set-up failed (run under tests/support/sandbox_run as root)\n");
        return 1;
    }
    std::list<KNETInterfaceEx> interfaces;
    KNETInterface::FindInterfaces({}, interfaces);

    // The storm.
    {
        KBOOTPServer server;
        if (server.Start(interfaces, 14102, 14103) != 0)
            return 1;
        int socket = NamespaceSocket("tvboard", 14103);
        std::map<unsigned int, Clock::time_point> asked, answered;
        int sent = 0;
        const double cpuBefore = CpuSeconds();
        const Clock::time_point start = Clock::now();
        Clock::time_point lastRound = start - std::chrono::seconds(1);
        while (static_cast<int>(answered.size()) < Boards && Clock::now() - start < std::chrono::seconds(60)) {
            if (Clock::now() - lastRound >= std::chrono::seconds(1)) {
                lastRound = Clock::now();
                for (int b = 0; b < Boards; ++b) {
                    if (answered.count(SerialOf(b)))
                        continue;
                    SendTo(socket, tavotest::BoardRequest(SerialOf(b)), BroadcastOf(b), 14102);
                    asked.emplace(SerialOf(b), Clock::now()); // latency counts from the first request
                    ++sent;
                }
            }
            std::vector<unsigned char> reply = ReceiveFrom(socket, 50);
            if (reply.size() == 247) {
                unsigned int serial = reply[31] << 16 | reply[32] << 8 | reply[33];
                answered.emplace(serial, Clock::now());
            }
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        const double cpu = CpuSeconds() - cpuBefore;
        server.WaitTermination();
        std::vector<double> latency;
        for (const auto& a : answered)
            latency.push_back(std::chrono::duration<double, std::milli>(a.second - asked[a.first]).count() - 500);
        size_t dropped = testkit::Count(testkit::ReadFile(tavotest::TavoLog), "max thread count reached");
        rusage usage {};
        getrusage(RUSAGE_SELF, &usage);
        std::printf("storm: %d boards on 2 interfaces, %zu answered in %.2f s, %.1f replies/s\n", Boards,
                    answered.size(), seconds, answered.size() / seconds);
        std::printf("latency minus the 500 ms probe (from the first request): median %.0f ms, p99 %.0f ms\n",
                    Percentile(latency, 0.5), Percentile(latency, 0.99));
        std::printf("requests sent %d, dropped by the thread bound %zu\n", sent, dropped);
        std::printf("CPU %.3f s in all, %.2f ms per request sent (board side included); peak RSS %ld KiB\n", cpu,
                    1000 * cpu / sent, usage.ru_maxrss);
        close(socket);
    }

    // The decision part alone: what one lock can serve per second, with devices.yaml unchanged
    // (checked, not parsed again) and with the file touched before every request (parsed again).
    for (bool touch : {false, true}) {
        DecisionOnly decide;
        decide.UseInterfaces(interfaces);
        const int rounds = touch ? 100 : 2000;
        int ready = 0;
        const double cpuBefore = CpuSeconds();
        const Clock::time_point start = Clock::now();
        for (int i = 0; i < rounds; ++i) {
            if (touch)
                utimensat(AT_FDCWD, "/etc/varnel/config/devices.yaml", nullptr, 0);
            ready += decide.Decide(
                tavotest::BoardRequest(SerialOf(i % Boards), "NDX_V2-Modular_X 0 0-c80 0-4ac0 0-4c00"));
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        std::printf("decision part, devices.yaml of %d boards %s: %d of %d ready, %.3f ms each, %.0f decisions/s "
                    "under the lock, CPU %.3f ms each\n",
                    Boards, touch ? "changed before each request" : "unchanged", ready, rounds,
                    1000 * seconds / rounds, rounds / seconds, 1000 * (CpuSeconds() - cpuBefore) / rounds);
    }
    return 0;
}
