// Measures the lock-step ceiling of a TFTP transfer: the round trip of a 516-byte datagram
// (one DATA packet) answered by a 4-byte one (its ACK), between two addresses of the same
// namespace. Prints the median and mean in microseconds.
#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

int Bound(const char* address, uint16_t port)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = inet_addr(address);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        std::perror("bind");
        std::exit(1);
    }
    return fd;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s SERVER-ADDRESS CLIENT-ADDRESS COUNT\n", argv[0]);
        return 2;
    }
    const int count = std::atoi(argv[3]);
    int server = Bound(argv[1], 0), client = Bound(argv[2], 0);
    sockaddr_in serverAddress{};
    socklen_t length = sizeof serverAddress;
    getsockname(server, reinterpret_cast<sockaddr*>(&serverAddress), &length);

    std::thread answering([&] {
        unsigned char packet[516];
        for (int i = 0; i < count; ++i) {
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            if (recvfrom(server, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&from), &fromLength) < 0)
                return;
            sendto(server, packet, 4, 0, reinterpret_cast<sockaddr*>(&from), fromLength);
        }
    });
    std::vector<double> samples;
    samples.reserve(static_cast<size_t>(count));
    unsigned char data[516] = {0, 3}, ack[16];
    for (int i = 0; i < count; ++i) {
        auto start = std::chrono::steady_clock::now();
        sendto(client, data, sizeof data, 0, reinterpret_cast<sockaddr*>(&serverAddress), sizeof serverAddress);
        recv(client, ack, sizeof ack, 0);
        samples.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    answering.join();
    double mean = 0;
    for (double sample : samples)
        mean += sample / count;
    std::nth_element(samples.begin(), samples.begin() + count / 2, samples.end());
    std::printf("%.1f %.1f\n", samples[static_cast<size_t>(count / 2)], mean);
    return 0;
}
