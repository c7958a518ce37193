#include "tests/TAVO/ConfigTestSupport.h"

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>

namespace configtest {

namespace {

// Before any logger exists (init_priority 101 runs ahead of every library's static logger),
// the sandbox gets a klog.cfg that writes the Trace lines of the configuration loggers,
// optional values included.
struct KlogConfig {
    KlogConfig()
    {
        if (testkit::Sandboxed()) // never the machine's own /etc
            std::ofstream("/etc/varnel/config/klog.cfg") << "[KLogger]\nValue=true\n"
                                                            "[Config]\nValue=true\nOptionalValues=true\n";
    }
};
KlogConfig klogConfig __attribute__((init_priority(101)));

} // namespace

LogWatch::LogWatch() : Tail("/var/log/varnel/" + testkit::ExeName() + ".basekit.log") {}

std::vector<std::string> LogWatch::Messages() const
{
    static const std::regex header(R"(^([EWINT])\|\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\.\d{3}(\|.*)$)");
    std::istringstream log(Tail.Text());
    std::vector<std::string> messages;
    std::smatch parts;
    for (std::string line; std::getline(log, line);)
        messages.push_back(std::regex_match(line, parts, header) ? parts[1].str() + parts[2].str() : line);
    return messages;
}

bool LogWatch::WaitFor(const std::string& message, unsigned ms) const
{
    return testkit::WaitUntil(
        [&] {
            const std::vector<std::string> seen = Messages();
            return std::find(seen.begin(), seen.end(), message) != seen.end();
        },
        ms);
}

} // namespace configtest
