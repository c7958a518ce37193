#pragma once
// Shared by the configuration tests: YAML files in the sandbox's configuration directory
// and the lines the configuration loggers wrote to this program's basekit log.
#include <string>
#include <vector>

#include "tests/support/TestKit.h"

namespace configtest {

using testkit::RemoveConfig;
using testkit::WriteConfig;

// The lines written to /var/log/varnel/<exe>.basekit.log after the watch was made.
class LogWatch {
public:
    LogWatch();
    // Each line without its timestamp, e.g. "T|CONFIG  | text"; the timestamp is checked
    // against "dd/mm/yyyy hh:mm:ss.mmm" and a line without one is returned whole.
    std::vector<std::string> Messages() const;
    // Waits up to ms for a message (as Messages() gives it) to appear.
    bool WaitFor(const std::string& message, unsigned ms = 10000) const;

private:
    testkit::LogTail Tail;
};

} // namespace configtest
