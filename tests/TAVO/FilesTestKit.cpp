#include "tests/TAVO/FilesTestKit.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <fstream>
#include <poll.h>
#include <stdexcept>
#include <unistd.h>

#include "Basekit/KLogger.h"

namespace filestest {

const char* const FirmwareDir = "/etc/varnel/data/am17/";

namespace {

// Before any logger exists (init_priority 101 runs ahead of the libraries' static loggers),
// the sandbox gets a klog.cfg that writes the Trace lines of the TFTP and time servers.
struct KlogConfig {
    KlogConfig()
    {
        if (testkit::Sandboxed()) // never the machine's own /etc
            std::ofstream("/etc/varnel/config/klog.cfg") << "[TAVO]\nValue=true\nTFTP=true\nTime=true\n";
    }
};
KlogConfig klogConfig __attribute__((init_priority(101)));

sockaddr_in Address(const std::string& address, uint16_t port)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = inet_addr(address.c_str());
    return to;
}

} // namespace

std::string Pattern(size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7 + seed) % 251);
    return bytes;
}

std::string CrcTrailer(const std::string& bytes)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    crc = ~crc;
    return {static_cast<char>(crc >> 24), static_cast<char>(crc >> 16), static_cast<char>(crc >> 8),
            static_cast<char>(crc)};
}

void AddAddress(const std::string& cidr)
{
    if (!testkit::Sandboxed() || std::system(("ip addr add " + cidr + " dev lo 2>/dev/null").c_str()) < 0)
        throw std::runtime_error("cannot add " + cidr);
}

LogWatch::LogWatch() : LogTail(KLogger::GetLogDirectory() + "tavo.log") {}

RawClient::RawClient(const std::string& address, uint16_t port) : Fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
{
    sockaddr_in local = Address(address, port);
    if (Fd < 0 || bind(Fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
        throw std::runtime_error("cannot bind a client socket to " + address);
}

RawClient::~RawClient()
{
    close(Fd);
}

void RawClient::SendTo(const std::string& address, uint16_t port, const std::string& bytes)
{
    sockaddr_in to = Address(address, port);
    if (sendto(Fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0)
        throw std::runtime_error("cannot send to " + address);
}

std::optional<Datagram> RawClient::Receive(unsigned ms)
{
    pollfd ready{Fd, POLLIN, 0};
    char buffer[2048];
    sockaddr_in from{};
    socklen_t length = sizeof from;
    ssize_t got = poll(&ready, 1, static_cast<int>(ms)) > 0
                      ? recvfrom(Fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length)
                      : -1;
    if (got < 0)
        return std::nullopt;
    return Datagram{std::string(buffer, static_cast<size_t>(got)), ntohs(from.sin_port)};
}

std::optional<Datagram> Ask(RawClient& client, const std::string& server, uint16_t port, const std::string& bytes,
                            unsigned ms)
{
    std::optional<Datagram> answer;
    for (int attempt = 0; attempt < 5 && !answer; ++attempt) {
        client.SendTo(server, port, bytes);
        answer = client.Receive(ms / 5);
    }
    return answer;
}

// opcode 1 (RRQ), file name, NUL, mode, NUL
std::string ReadRequest(const std::string& name, const std::string& mode)
{
    return std::string("\0\1", 2) + name + '\0' + mode + '\0';
}

// opcode 4 (ACK), block number
std::string Ack(uint16_t block)
{
    return {0, 4, static_cast<char>(block >> 8), static_cast<char>(block)};
}

// opcode 3 (DATA), block number, 0 to 512 bytes
std::string Data(uint16_t block, const std::string& bytes)
{
    return std::string{0, 3, static_cast<char>(block >> 8), static_cast<char>(block)} + bytes;
}

std::optional<std::string> Fetch(const std::string& board, const std::string& server, uint16_t port,
                                 const std::string& name, unsigned ms)
{
    RawClient client(board);
    std::optional<Datagram> packet = Ask(client, server, port, ReadRequest(name), ms);
    std::string content;
    for (uint16_t block = 1;; ++block, packet = client.Receive(ms)) { // 16 bits: 65535, then 0
        if (!packet || packet->Bytes.size() < 4 || packet->Bytes.size() > 516 ||
            packet->Bytes.compare(0, 4, Data(block, "")) != 0)
            return std::nullopt;
        content.append(packet->Bytes, 4, std::string::npos);
        client.SendTo(server, packet->Port, Ack(block));
        if (packet->Bytes.size() < 516)
            return content;
    }
}

void PhaseRecorder::ClientStatus(const std::string& client, KTFTPStatus status, const std::string&)
{
    std::lock_guard<std::mutex> lock(Mutex);
    Reports.emplace_back(client, status);
}

std::vector<KTFTPStatus> PhaseRecorder::Phases(const std::string& client)
{
    std::lock_guard<std::mutex> lock(Mutex);
    std::vector<KTFTPStatus> phases;
    for (const auto& report : Reports)
        if (report.first == client)
            phases.push_back(report.second);
    return phases;
}

} // namespace filestest
