#include "tests/support/TestKit.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "Basekit/KHostSystem.h"

namespace testkit {

std::string ReadFile(const std::string& path)
{
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& text)
{
    if (!Sandboxed())
        throw std::runtime_error("test files are written inside the sandbox only");
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0755);
    std::ofstream(path + ".new", std::ios::binary) << text;
    if (std::rename((path + ".new").c_str(), path.c_str()) != 0)
        throw std::runtime_error("cannot write " + path);
}

void WriteConfig(const std::string& name, const std::string& yaml)
{
    WriteFile("/etc/varnel/config/" + name + ".yaml", yaml);
}

void RemoveConfig(const std::string& name)
{
    std::remove(("/etc/varnel/config/" + name + ".yaml").c_str());
}

std::vector<std::string> Lines(const std::string& path)
{
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(path));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

size_t Count(const std::string& text, const std::string& needle)
{
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}

bool Sandboxed()
{
    const char* flag = std::getenv("TAVO_SANDBOXED");
    return flag && std::string(flag) == "1";
}

bool WaitUntil(const std::function<bool()>& condition, unsigned timeoutMs)
{
    for (unsigned waited = 0;; waited += 10) {
        if (condition())
            return true;
        if (waited >= timeoutMs)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string ExeName()
{
    char path[4096];
    ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length <= 0)
        return "";
    path[length] = '\0';
    const char* slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

std::atomic<unsigned> FakeTick::Value{0};

FakeTick::FakeTick(unsigned start)
{
    Value = start;
    KHostSystem::SetTickSource(&FakeTick::Now);
}

FakeTick::~FakeTick()
{
    KHostSystem::SetTickSource(nullptr);
}

unsigned FakeTick::Now()
{
    return Value;
}

LogTail::LogTail(const std::string& path) : Path(path), Start(ReadFile(path).size()) {}

std::string LogTail::Text() const
{
    const std::string all = ReadFile(Path);
    return all.size() > Start ? all.substr(Start) : std::string();
}

bool LogTail::WaitFor(const std::string& text, unsigned ms) const
{
    return WaitUntil([&] { return Text().find(text) != std::string::npos; }, ms);
}

} // namespace testkit
