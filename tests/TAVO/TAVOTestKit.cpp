#include "tests/TAVO/TAVOTestKit.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

#include "Tools/TAVO/KCounters.h"

namespace tavotest {

const char* const FirmwareDir = "/etc/varnel/data/am17/";
const char* const TavoLog = "/var/log/varnel/tavo.log";

std::string BasekitLog()
{
    return "/var/log/varnel/" + testkit::ExeName() + ".basekit.log";
}

namespace {

// Before any logger exists (init_priority 101 runs ahead of the libraries' static loggers),
// the sandbox gets a klog.cfg that writes the Trace lines of the configuration loggers
// (optional values included) and of the TFTP and time servers.
struct KlogConfig {
    KlogConfig()
    {
        if (testkit::Sandboxed()) // never the machine's own /etc
            std::ofstream("/etc/varnel/config/klog.cfg") << "[KLogger]\nValue=true\n"
                                                            "[Config]\nValue=true\nOptionalValues=true\n"
                                                            "[TAVO]\nValue=true\nTFTP=true\nTime=true\n";
    }
};
KlogConfig klogConfig __attribute__((init_priority(101)));

} // namespace

// "L|dd/mm/yyyy hh:mm:ss.mmm|text" becomes "L|text".
static std::string WithoutTimestamp(const std::string& line)
{
    const size_t text = sizeof "L|dd/mm/yyyy hh:mm:ss.mmm" - 1;
    if (line.size() <= text || line[1] != '|' || line[text] != '|')
        return line;
    return line.substr(0, 1) + line.substr(text);
}

std::vector<std::string> LogWatch::Messages() const
{
    std::istringstream log(Text());
    std::vector<std::string> messages;
    for (std::string line; std::getline(log, line);)
        messages.push_back(WithoutTimestamp(line));
    return messages;
}

size_t LogWatch::Count(const std::string& message) const
{
    const std::vector<std::string> seen = Messages();
    return static_cast<size_t>(std::count(seen.begin(), seen.end(), message));
}

Moves CountersMoved(const std::function<void()>& act)
{
    const auto before = KCounters::Process().Snapshot();
    act();
    const auto after = KCounters::Process().Snapshot();
    Moves moved;
    for (size_t i = 0; i < after.size(); ++i)
        if (after[i].second != before[i].second)
            moved[after[i].first] = after[i].second - before[i].second;
    return moved;
}

int Sh(const std::string& command)
{
    int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<unsigned char> BoardRequest(unsigned serial, const std::string& identification)
{
    std::vector<unsigned char> p(240, 0);
    p[0] = p[1] = 1; // op: request; htype: Ethernet
    p[2] = 6;        // hlen
    const unsigned char chaddr[] = {0x0A, 0x3D, 0x91, static_cast<unsigned char>(serial >> 16),
                                    static_cast<unsigned char>(serial >> 8), static_cast<unsigned char>(serial)};
    std::copy(chaddr, chaddr + 6, p.begin() + 28);
    const unsigned char cookie[] = {99, 130, 83, 99};
    std::copy(cookie, cookie + 4, p.begin() + 236);
    if (!identification.empty()) {
        p.push_back(43); // vendor-specific option
        p.push_back(static_cast<unsigned char>(identification.size()));
        p.insert(p.end(), identification.begin(), identification.end());
    }
    p.push_back(255); // end
    return p;
}

} // namespace tavotest
