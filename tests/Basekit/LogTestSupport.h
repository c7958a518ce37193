#pragma once
// What the logging tests share besides the common test kit: the start of a case, a settable
// clock, forked cases, the system log and a small TCP log server on loopback that speaks the
// frames by hand.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/TestKit.h"

namespace logtest {

using namespace testkit;
inline const std::string Dir = "/var/log/varnel/";
constexpr long long Nov14 = 1700000000; // 14/11/2023 22:13:20 UTC
// Writes klog.cfg (inside the sandbox only, as every test file).
void WriteKlogCfg(const std::string& text);
// The start of a logging case, before its first logger (the manager reads klog.cfg and the
// clock when it is made): writes klog.cfg and, when given, sets the clock. Throws when a log
// manager exists already: every case needs a process of its own, as ctest runs them.
void Begin(const std::string& klogCfg, long long seconds = -1, int milliseconds = 0);

// The logging clock, frozen at the given local time (tests run with TZ=UTC).
void SetClock(long long seconds, int milliseconds = 0);

// Runs body in a forked child; the child's gtest failures are printed there and turn into a
// non-zero exit status. The child ends through exit(), so coverage counts its run too.
// Returns the child's wait status.
int RunInChild(const std::function<void()>& body);

// A filter frame: type 2, count, per entry (options, overwritten, never), FullLog, sizes.
struct FilterEntry {
    uint32_t options;
    bool overwritten;
    uint32_t never;
};
std::vector<uint8_t> FilterFrame(const std::vector<FilterEntry>& entries, bool fullLog, uint64_t maxFile,
                                 uint64_t maxTotal);

// Binds /dev/log (the sandbox's own) and keeps what the process sent to the system log.
class SystemLogCapture {
public:
    SystemLogCapture();
    ~SystemLogCapture();
    SystemLogCapture(const SystemLogCapture&) = delete;
    SystemLogCapture& operator=(const SystemLogCapture&) = delete;
    // Every datagram received so far, each followed by a line end.
    std::string ReadAll();

private:
    int Socket = -1;
    std::string Received;
};

class TestLogServer {
public:
    explicit TestLogServer(uint16_t port);
    ~TestLogServer();
    TestLogServer(const TestLogServer&) = delete;
    TestLogServer& operator=(const TestLogServer&) = delete;

    // The accepted connection, or -1 after timeoutMs. The previous one is closed.
    int Accept(unsigned timeoutMs = 10000);
    void Send(const std::vector<uint8_t>& bytes);
    // Exactly n bytes or false (time-out or end of stream).
    bool Read(std::vector<uint8_t>& bytes, size_t n, unsigned timeoutMs);
    // One frame of a log message (writer name, text), decoded by hand.
    bool ReadLogMessage(std::string& name, std::string& text, unsigned timeoutMs);
    void CloseConnection();

private:
    int Listener = -1;
    int Connection = -1;
};

} // namespace logtest
