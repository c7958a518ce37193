#pragma once
// What the logging tests share: files, bounded waits, a settable clock, forked cases and a
// small TCP log server on loopback that speaks the frames by hand.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace logtest {

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);
std::vector<std::string> Lines(const std::string& path);
// Stops the process unless it runs in the test sandbox: tests write /etc/varnel and
// /var/log/varnel, which must never be the machine's own.
void RequireSandbox();
// Writes klog.cfg after checking for the sandbox.
void WriteKlogCfg(const std::string& text);
bool Exists(const std::string& path);
size_t Count(const std::string& text, const std::string& needle);
// Polls every 10 ms until the condition holds or timeoutMs passed.
bool WaitUntil(const std::function<bool()>& condition, unsigned timeoutMs);
// The short name of this test executable (as /proc reports it).
std::string ExeName();

// The logging clock, frozen at the given local time (tests run with TZ=UTC).
void SetClock(long long seconds, int milliseconds = 0);

// Runs body in a forked child (fresh log manager); the child's gtest failures are printed
// there and turn into a non-zero exit status. Returns the child's wait status.
int RunInChild(const std::function<void()>& body);

// Little-endian byte building for frames.
void Put32(std::vector<uint8_t>& bytes, uint32_t value);
void Put64(std::vector<uint8_t>& bytes, uint64_t value);

// A filter frame: type 2, count, per entry (options, overwritten, never), FullLog, sizes.
struct FilterEntry {
    uint32_t options;
    bool overwritten;
    uint32_t never;
};
std::vector<uint8_t> FilterFrame(const std::vector<FilterEntry>& entries, bool fullLog, uint64_t maxFile,
                                 uint64_t maxTotal);

class TestLogServer {
public:
    explicit TestLogServer(uint16_t port);
    ~TestLogServer();
    TestLogServer(const TestLogServer&) = delete;
    TestLogServer& operator=(const TestLogServer&) = delete;

    // The accepted connection, or -1 after timeoutMs. The previous one is closed.
    int Accept(unsigned timeoutMs);
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
