#pragma once
// Shared by the daemon's unit tests besides the common test kit: the sandbox's klog.cfg, the
// lines a log gained, the counters an action moved, shell set-up of the sandbox's network and a
// board's request.
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/support/TestKit.h"

namespace tavotest {

using testkit::FakeTick;
using testkit::ReadFile;
using testkit::RemoveConfig;
using testkit::WriteConfig;
using testkit::WriteFile;

extern const char* const FirmwareDir; // /etc/varnel/data/am17/
extern const char* const TavoLog;     // the daemon's loggers
std::string BasekitLog();             // this program's configuration loggers

// What a log gained after the watch was made (tavo.log unless told otherwise).
class LogWatch : public testkit::LogTail {
public:
    explicit LogWatch(const std::string& path = TavoLog) : LogTail(path) {}
    // Each line without its timestamp, e.g. "T|CONFIG  | text"; a line without one comes whole.
    std::vector<std::string> Messages() const;
    // How many of those lines equal message.
    size_t Count(const std::string& message) const;
};

// The process's counters that act moved, by name, with their increase.
using Moves = std::map<std::string, uint64_t>;
Moves CountersMoved(const std::function<void()>& act);

// Runs a shell command (ip, sysctl) quietly and returns its exit status.
int Sh(const std::string& command);

// A BOOTP request as a board sends it: op 1, htype 1, hlen 6, chaddr 0A:3D:91 + serial,
// the magic cookie, option 43 with the identification text when given, end option.
std::vector<unsigned char> BoardRequest(unsigned serial, const std::string& identification = std::string());

} // namespace tavotest
