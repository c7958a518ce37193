#pragma once
// Shared by the configuration tests: YAML files in the sandbox's configuration directory
// and the lines the configuration loggers wrote to this program's basekit log.
#include <string>
#include <vector>

namespace configtest {

// Writes /etc/varnel/config/<name>.yaml in one step (a reader never sees half a file).
void WriteConfig(const std::string& name, const std::string& text);
void RemoveConfig(const std::string& name);

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
    std::string Path;
    long Start = 0;
};

} // namespace configtest
