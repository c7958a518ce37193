#include "tests/Basekit/LogTestSupport.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "Basekit/KLogClock.h"
#include "Basekit/KLogManager.h"

namespace logtest {

namespace {

std::atomic<long long> ClockMs{0};

void FrozenClock(timespec* now)
{
    long long ms = ClockMs;
    now->tv_sec = static_cast<time_t>(ms / 1000);
    now->tv_nsec = static_cast<long>((ms % 1000) * 1000000);
}

// Little-endian bytes for frames: the low `size` bytes of value.
void Put(std::vector<uint8_t>& bytes, uint64_t value, int size = 4)
{
    for (int i = 0; i < size; ++i)
        bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// Expected dates in the tests are typed for UTC.
const int UseUtc = (setenv("TZ", "UTC", 1), tzset(), 0);

} // namespace

void WriteKlogCfg(const std::string& text)
{
    WriteFile("/etc/varnel/config/klog.cfg", text);
}

void Begin(const std::string& klogCfg, long long seconds, int milliseconds)
{
    if (KLogManager::Current())
        throw std::logic_error("a log manager exists already: run each case in a process of its own");
    WriteKlogCfg(klogCfg);
    if (seconds >= 0)
        SetClock(seconds, milliseconds);
}

void SetClock(long long seconds, int milliseconds)
{
    (void)UseUtc;
    tzset();
    ClockMs = seconds * 1000 + milliseconds;
    KLogClock::SetSource(&FrozenClock);
}

int RunInChild(const std::function<void()>& body)
{
    fflush(stdout);
    fflush(stderr);
    pid_t child = fork();
    if (child == 0) {
        try {
            body();
        } catch (const std::exception& error) {
            ADD_FAILURE() << "exception in child: " << error.what();
        }
        bool failed = ::testing::Test::HasFailure();
        fflush(stdout);
        fflush(stderr);
        exit(failed ? 1 : 0);
    }
    int status = -1;
    waitpid(child, &status, 0);
    return status;
}

std::vector<uint8_t> FilterFrame(const std::vector<FilterEntry>& entries, bool fullLog, uint64_t maxFile,
                                 uint64_t maxTotal)
{
    std::vector<uint8_t> body;
    Put(body, 2); // type: new log filter
    Put(body, entries.size());
    for (const FilterEntry& entry : entries) {
        Put(body, entry.options);
        body.push_back(entry.overwritten ? 1 : 0);
        Put(body, entry.never);
    }
    body.push_back(fullLog ? 1 : 0);
    Put(body, maxFile, 8);
    Put(body, maxTotal, 8);
    std::vector<uint8_t> frame;
    Put(frame, body.size());
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

SystemLogCapture::SystemLogCapture()
{
    unlink("/dev/log");
    Socket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof(address.sun_path), "/dev/log");
    if (bind(Socket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
        throw std::runtime_error(std::string("cannot bind /dev/log: ") + strerror(errno));
}

SystemLogCapture::~SystemLogCapture()
{
    close(Socket);
}

std::string SystemLogCapture::ReadAll()
{
    char buffer[4096];
    ssize_t got;
    while ((got = recv(Socket, buffer, sizeof(buffer), MSG_DONTWAIT)) > 0)
        Received.append(buffer, static_cast<size_t>(got)).append("\n");
    return Received;
}

TestLogServer::TestLogServer(uint16_t port)
{
    Listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(Listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(Listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(Listener, 8) != 0)
        throw std::runtime_error(std::string("test log server: ") + strerror(errno));
}

TestLogServer::~TestLogServer()
{
    CloseConnection();
    if (Listener >= 0)
        close(Listener);
}

int TestLogServer::Accept(unsigned timeoutMs)
{
    CloseConnection();
    pollfd poller = {Listener, POLLIN, 0};
    if (poll(&poller, 1, static_cast<int>(timeoutMs)) <= 0)
        return -1;
    Connection = accept4(Listener, nullptr, nullptr, SOCK_CLOEXEC);
    return Connection;
}

void TestLogServer::Send(const std::vector<uint8_t>& bytes)
{
    // A blocking stream socket sends everything or fails.
    if (send(Connection, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size()))
        throw std::runtime_error("test log server: send failed");
}

bool TestLogServer::Read(std::vector<uint8_t>& bytes, size_t n, unsigned timeoutMs)
{
    // The receive time-out bounds the whole wait of one call; MSG_WAITALL waits for all n bytes.
    bytes.assign(n, 0);
    timeval limit{static_cast<time_t>(timeoutMs / 1000), static_cast<suseconds_t>(timeoutMs % 1000 * 1000)};
    setsockopt(Connection, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    return n == 0 || recv(Connection, bytes.data(), n, MSG_WAITALL) == static_cast<ssize_t>(n);
}

bool TestLogServer::ReadLogMessage(std::string& name, std::string& text, unsigned timeoutMs)
{
    // frame size, then name and text, each as length (with the NUL), characters, NUL
    auto le32 = [](const std::vector<uint8_t>& bytes, size_t at) {
        return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
    };
    std::vector<uint8_t> size, frame;
    if (!Read(size, 4, timeoutMs) || !Read(frame, le32(size, 0), timeoutMs))
        return false;
    size_t at = 0;
    for (std::string* part : {&name, &text}) {
        const size_t length = at + 4 <= frame.size() ? le32(frame, at) : 0;
        if (length == 0 || at + 4 + length > frame.size() || frame[at + 3 + length] != 0)
            return false;
        part->assign(frame.begin() + static_cast<long>(at) + 4, frame.begin() + static_cast<long>(at + 3 + length));
        at += 4 + length;
    }
    return at == frame.size();
}

void TestLogServer::CloseConnection()
{
    if (Connection >= 0)
        close(Connection);
    Connection = -1;
}

} // namespace logtest
