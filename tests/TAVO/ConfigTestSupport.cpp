#include "tests/TAVO/ConfigTestSupport.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace configtest {

namespace {

const char* const ConfigDir = "/etc/varnel/config/";

std::string ExeName()
{
    char path[512];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    std::string full(path, n > 0 ? n : 0);
    return full.substr(full.rfind('/') + 1);
}

// Before any logger exists (init_priority 101 runs ahead of every library's static logger),
// the sandbox gets a klog.cfg that writes the Trace lines of the configuration loggers,
// optional values included.
struct KlogConfig {
    KlogConfig()
    {
        const char* sandboxed = std::getenv("TAVO_SANDBOXED");
        if (!sandboxed || std::string(sandboxed) != "1")
            return; // never write into the machine's own /etc
        std::ofstream(std::string(ConfigDir) + "klog.cfg") << "[KLogger]\nValue=true\n"
                                                              "[Config]\nValue=true\nOptionalValues=true\n";
    }
};
KlogConfig klogConfig __attribute__((init_priority(101)));

} // namespace

void WriteConfig(const std::string& name, const std::string& text)
{
    const std::string path = ConfigDir + name + ".yaml";
    std::ofstream(path + ".new") << text;
    std::rename((path + ".new").c_str(), path.c_str());
}

void RemoveConfig(const std::string& name)
{
    std::remove((ConfigDir + name + ".yaml").c_str());
}

LogWatch::LogWatch() : Path("/var/log/varnel/" + ExeName() + ".basekit.log")
{
    std::ifstream log(Path, std::ios::ate);
    Start = log ? static_cast<long>(log.tellg()) : 0;
}

std::vector<std::string> LogWatch::Messages() const
{
    static const std::regex header(R"(^([EWINT])\|\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\.\d{3}(\|.*)$)");
    std::ifstream log(Path);
    log.seekg(Start);
    std::vector<std::string> messages;
    std::string line;
    std::smatch parts;
    while (std::getline(log, line))
        messages.push_back(std::regex_match(line, parts, header) ? parts[1].str() + parts[2].str() : line);
    return messages;
}

bool LogWatch::WaitFor(const std::string& message, unsigned ms) const
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        for (const std::string& seen : Messages())
            if (seen == message)
                return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

} // namespace configtest
