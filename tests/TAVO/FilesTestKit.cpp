#include "tests/TAVO/FilesTestKit.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "Basekit/KLogger.h"

namespace filestest {

const char* const ConfigDir = "/etc/varnel/config/";
const char* const FirmwareDir = "/etc/varnel/data/am17/";

namespace {

bool Sandboxed()
{
    const char* flag = std::getenv("TAVO_SANDBOXED");
    return flag && std::string(flag) == "1";
}

// Before any logger exists (init_priority 101 runs ahead of every library's static logger),
// the sandbox gets a klog.cfg that writes the Trace lines of the TFTP and time servers.
struct KlogConfig {
    KlogConfig()
    {
        if (!Sandboxed())
            return; // never write into the machine's own /etc
        std::ofstream(std::string(ConfigDir) + "klog.cfg") << "[TAVO]\nValue=true\nTFTP=true\nTime=true\n";
    }
};
KlogConfig klogConfig __attribute__((init_priority(101)));

void MakeParents(const std::string& path)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0755);
}

} // namespace

void WriteFile(const std::string& path, const std::string& content)
{
    if (!Sandboxed())
        throw std::runtime_error("test files are only written inside the sandbox");
    MakeParents(path);
    const std::string temporary = path + ".test-new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0)
        throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteConfig(const std::string& name, const std::string& yaml)
{
    WriteFile(std::string(ConfigDir) + name + ".yaml", yaml);
}

std::string Pattern(size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7 + seed) % 251);
    return bytes;
}

uint32_t BitwiseCrc32(const std::string& bytes)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::string Trailer(uint32_t crc)
{
    return std::string{static_cast<char>(crc >> 24), static_cast<char>(crc >> 16), static_cast<char>(crc >> 8),
                       static_cast<char>(crc)};
}

void AddAddress(const std::string& cidr)
{
    if (!Sandboxed())
        throw std::runtime_error("addresses are only added inside the sandbox");
    // "File exists" for an address added before is fine.
    std::string command = "ip addr add " + cidr + " dev lo 2>/dev/null";
    if (std::system(command.c_str()) < 0)
        throw std::runtime_error("cannot run ip");
}

LogWatch::LogWatch() : Path(KLogger::GetLogDirectory() + "tavo.log")
{
    std::ifstream log(Path, std::ios::ate | std::ios::binary);
    Start = log ? static_cast<long>(log.tellg()) : 0;
}

std::string LogWatch::Text() const
{
    std::string all = ReadFile(Path);
    return all.size() > static_cast<size_t>(Start) ? all.substr(static_cast<size_t>(Start)) : std::string();
}

bool LogWatch::WaitFor(const std::string& text, unsigned ms) const
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (Text().find(text) != std::string::npos)
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

RawClient::RawClient(const std::string& address, uint16_t port)
{
    Fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = inet_addr(address.c_str());
    if (Fd < 0 || bind(Fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
        throw std::runtime_error("cannot bind a client socket to " + address);
}

RawClient::~RawClient()
{
    if (Fd >= 0)
        close(Fd);
}

void RawClient::SendTo(const std::string& address, uint16_t port, const std::string& bytes)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = inet_addr(address.c_str());
    if (sendto(Fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) !=
        static_cast<ssize_t>(bytes.size()))
        throw std::runtime_error("cannot send to " + address);
}

std::optional<Datagram> RawClient::Receive(unsigned ms)
{
    pollfd ready{Fd, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(ms)) <= 0)
        return std::nullopt;
    char buffer[2048];
    sockaddr_in from{};
    socklen_t length = sizeof from;
    ssize_t got = recvfrom(Fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (got < 0)
        return std::nullopt;
    Datagram datagram;
    datagram.Bytes.assign(buffer, static_cast<size_t>(got));
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    datagram.Address = text;
    datagram.Port = ntohs(from.sin_port);
    return datagram;
}

uint16_t RawClient::LocalPort() const
{
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(Fd, reinterpret_cast<sockaddr*>(&local), &length);
    return ntohs(local.sin_port);
}

std::string ReadRequest(const std::string& name, const std::string& mode)
{
    // opcode 1 (RRQ), file name, NUL, mode, NUL
    return std::string("\x00\x01", 2) + name + std::string(1, '\0') + mode + std::string(1, '\0');
}

std::string Ack(uint16_t block)
{
    // opcode 4 (ACK), block number
    return std::string{0, 4, static_cast<char>(block >> 8), static_cast<char>(block & 0xFF)};
}

std::string Data(uint16_t block, const std::string& bytes)
{
    // opcode 3 (DATA), block number, data
    return std::string{0, 3, static_cast<char>(block >> 8), static_cast<char>(block & 0xFF)} + bytes;
}

std::string Error(uint8_t code, const std::string& text)
{
    // opcode 5 (ERROR), code as two bytes, text, NUL
    return std::string{0, 5, 0, static_cast<char>(code)} + text + std::string(1, '\0');
}

std::optional<std::string> Fetch(const std::string& board, const std::string& server, uint16_t port,
                                 const std::string& name, unsigned ms)
{
    RawClient client(board);
    client.SendTo(server, port, ReadRequest(name));
    std::string content;
    uint16_t expected = 1;
    for (;;) {
        std::optional<Datagram> packet = client.Receive(ms);
        if (!packet || packet->Bytes.size() < 4 || packet->Address != server)
            return std::nullopt;
        const std::string& bytes = packet->Bytes;
        uint16_t block = static_cast<uint16_t>(static_cast<unsigned char>(bytes[2]) << 8 |
                                               static_cast<unsigned char>(bytes[3]));
        if (bytes[0] != 0 || bytes[1] != 3 || block != expected || bytes.size() > 516)
            return std::nullopt;
        content.append(bytes, 4, std::string::npos);
        client.SendTo(server, packet->Port, Ack(block));
        if (bytes.size() < 516)
            return content;
        ++expected;
    }
}

void PhaseRecorder::ClientStatus(const std::string& client, KTFTPStatus status, const std::string& detail)
{
    std::lock_guard<std::mutex> lock(Mutex);
    Reports.push_back({client, status, detail});
    Changed.notify_all();
}

bool PhaseRecorder::WaitFor(const std::string& client, KTFTPStatus status, unsigned ms)
{
    std::unique_lock<std::mutex> lock(Mutex);
    return Changed.wait_for(lock, std::chrono::milliseconds(ms), [&] {
        for (const Report& report : Reports)
            if (report.Client == client && report.Status == status)
                return true;
        return false;
    });
}

std::vector<KTFTPStatus> PhaseRecorder::Phases(const std::string& client)
{
    std::lock_guard<std::mutex> lock(Mutex);
    std::vector<KTFTPStatus> phases;
    for (const Report& report : Reports)
        if (report.Client == client)
            phases.push_back(report.Status);
    return phases;
}

std::string PhaseRecorder::Detail(const std::string& client, KTFTPStatus status)
{
    std::lock_guard<std::mutex> lock(Mutex);
    for (const Report& report : Reports)
        if (report.Client == client && report.Status == status)
            return report.Detail;
    return std::string();
}

void PhaseRecorder::Clear(const std::string& client)
{
    std::lock_guard<std::mutex> lock(Mutex);
    std::vector<Report> kept;
    for (Report& report : Reports)
        if (report.Client != client)
            kept.push_back(std::move(report));
    Reports.swap(kept);
}

} // namespace filestest
