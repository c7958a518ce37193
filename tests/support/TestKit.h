#pragma once
// What the unit tests share: whole files, the sandbox check, a bounded wait, this program's
// name, a tick the test drives, and the growing tail of a log file.
#include <atomic>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace testkit {

std::string ReadFile(const std::string& path);
// Writes in one step (temporary and rename), creating missing parent directories. Refused
// outside the test sandbox, whose fixed paths are never the machine's own.
void WriteFile(const std::string& path, const std::string& text);
// /etc/varnel/config/<name>.yaml, written as above.
void WriteConfig(const std::string& name, const std::string& yaml);
void RemoveConfig(const std::string& name);
std::vector<std::string> Lines(const std::string& path);
// Non-overlapping occurrences of needle in text.
size_t Count(const std::string& text, const std::string& needle);

// Whether the program runs under tests/support/sandbox_run.
bool Sandboxed();
// Polls every 10 ms until the condition holds or timeoutMs passed.
bool WaitUntil(const std::function<bool()>& condition, unsigned timeoutMs);
// The short name of this test executable (as /proc reports it).
std::string ExeName();

// KHostSystem's tick, driven by the test while the object lives.
class FakeTick {
public:
    explicit FakeTick(unsigned start);
    ~FakeTick();
    FakeTick(const FakeTick&) = delete;
    FakeTick& operator=(const FakeTick&) = delete;
    void Set(unsigned now) { Value = now; }
    void Advance(unsigned ms) { Value += ms; }

private:
    static unsigned Now();
    static std::atomic<unsigned> Value;
};

// What a log file gained after the object was made.
class LogTail {
public:
    explicit LogTail(const std::string& path);
    std::string Text() const;
    // Waits up to ms for text to appear in the new part.
    bool WaitFor(const std::string& text, unsigned ms = 10000) const;

private:
    std::string Path;
    size_t Start = 0;
};

} // namespace testkit
