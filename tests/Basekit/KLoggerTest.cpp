// Logger core: the line format in each file, the messages copy, prefixes, the filter's
// effect on formatting, the program's name in a file name, the running log's ids and
// concurrent logging.
#include <cstdio>
#include <cstring>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "Basekit/KLogManager.h"
#include "Basekit/KLogger.h"
#include "tests/Basekit/LogTestSupport.h"

namespace {

using logtest::Dir, logtest::Nov14;

const char* const Cfg = "[TAVO]\nValue=true\nBOOTP=true\n[System]\nValue=true\n";

std::string LastLine(const std::string& file)
{
    std::vector<std::string> lines = logtest::Lines(Dir + file);
    return lines.empty() ? "" : lines.back();
}

TEST(KLogger, LineFormatPrefixesTheMessagesCopyOfErrorWarningInfoAndFileNames)
{
    logtest::Begin(Cfg, Nov14, 123);
    KLogger bootp(klsTAVO, kloTavoBOOTP, "BOOTP", "tavo", 0x10, false);
    const std::string header = "|14/11/2023 22:13:20.123|BOOTP   ";
    const std::pair<KLogLevel, char> levels[] = {
        {klError, 'E'}, {klWarning, 'W'}, {klInfo, 'I'}, {klNotice, 'N'}, {klTrace, 'T'}};
    for (const auto& level : levels) {
        bootp.Log(level.first, "board %d level %c", 7, level.second);
        // letter | day/month/year time.ms | name padded to 8 | blank, text
        const std::string expected = level.second + header + "| board 7 level " + level.second;
        EXPECT_EQ(LastLine("tavo.log"), expected);
        const bool copied = level.first == klError || level.first == klWarning || level.first == klInfo;
        EXPECT_EQ(logtest::Count(logtest::ReadFile(Dir + "messages.log"), expected), copied ? 1u : 0u);
        EXPECT_EQ(LastLine("messages.log") == expected + " (tavo)", copied);
    }
    const std::pair<std::function<void()>, const char*> prefixes[] = {
        {[&] { bootp.Log(klNotice, kstring("as is")); }, "as is"}, // a kstring: no separator
        {[&] { bootp.LogDev(klNotice, 3, "x"); }, "|D3| x"},
        {[&] { bootp.LogChanAndCall(klNotice, 1, 5, 9, "x"); }, "|D1 C05 K9| x"},
        {[&] { bootp.LogDsp(klNotice, 2, 1, "x"); }, "|D2 PB| x"},
        {[&] { bootp.LogLinkAndCall(klNotice, 1, 4, 9, "x"); }, "|D1 L4 K9| x"},
        {[&] { bootp.LogNaiAndCall(klNotice, 6, 9, "x"); }, "|N6 K9| x"},
        {[&] { bootp.Log(static_cast<KLogLevel>(7), "odd"); }, "| odd"}};
    for (const auto& prefix : prefixes) {
        prefix.first();
        const char letter = std::string(prefix.second) == "| odd" ? 'E' : 'N'; // a bad level is an Error
        EXPECT_EQ(LastLine("tavo.log"), letter + header + prefix.second);
    }
    KLogger unnamed(klsTAVO, kloTavoBOOTP, "BOOTP", "tavo", 0, false);
    unnamed.Notice("plain");
    EXPECT_EQ(LastLine("tavo.log"), "N|14/11/2023 22:13:20.123| plain");
    EXPECT_EQ(unnamed.Writer(), bootp.Writer()); // one writer per file

    // Flag 0x01 puts the program's name before the file's.
    KLogger config(klsTimer, -1, "TIMER", "basekit", 0x11, false);
    config.Notice("named");
    EXPECT_EQ(LastLine(logtest::ExeName() + ".basekit.log"), "N|14/11/2023 22:13:20.123|TIMER   | named");
}

TEST(KLogger, FilteredTraceIsNeverFormatted)
{
    logtest::Begin(Cfg);
    // Formatting "%s" of this pointer would fault: the page is not readable.
    void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(page, MAP_FAILED);
    KLogger general(klsTAVO, kloTavoGeneral, "General", "filtered", 0x10, false);
    general.Trace("%s", static_cast<const char*>(page));
    general.LogDev(klTrace, 1, "%s", static_cast<const char*>(page));
    general.Notice("after");
    munmap(page, 4096);
    EXPECT_EQ(logtest::Lines(Dir + "filtered.log").size(), 1u);
}

TEST(KLogger, RunningLogLineCarriesProcessAndThreadIds)
{
    logtest::Begin(Cfg, Nov14, 5);
    KLogger bootp(klsTAVO, kloTavoBOOTP, "BOOTP", "tavo", 0x10, false);
    std::thread([] { KHostSystem::ReportThread(klNotice, "Thread started: %s", "demo"); }).join();
    const std::string line = LastLine(logtest::ExeName() + ".running.log");
    char head[64];
    snprintf(head, sizeof(head), "N|14/11/2023 22:13:20.005|SWALKER |PID=%05d LWP=", static_cast<int>(getpid()));
    const size_t lwp = strlen(head), trd = line.find(" TRD=");
    EXPECT_EQ(line.rfind(head, 0), 0u) << line;
    // At least five digits of thread id, then ten blanks or digits before the text.
    EXPECT_TRUE(trd >= lwp + 5 && line.find_first_not_of("0123456789", lwp) == trd) << line;
    EXPECT_EQ(line.find_first_not_of(" 0123456789", trd + 5), trd + 15) << line;
    EXPECT_EQ(line.substr(trd + 15), "| Thread started: demo") << line;
}

TEST(KLogger, ThreadsLoggingAtOnceNeverTearLines)
{
    logtest::Begin(Cfg);
    const int threads = 8, perThread = 500;
    KLogger tftp(klsTAVO, kloTavoTFTP, "TFTP", "busy", 0x10, false);
    KLogger bootp(klsTAVO, kloTavoBOOTP, "BOOTP", "busy", 0x10, false);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i)
                ((i % 2) ? tftp : bootp).Info("thread %d line %d %s", t, i, std::string(40 + (i % 60), 'x').c_str());
        });
    for (std::thread& worker : workers)
        worker.join();
    std::vector<int> next(threads, 0);
    std::vector<std::string> lines = logtest::Lines(Dir + "busy.log");
    ASSERT_EQ(lines.size(), static_cast<size_t>(threads * perThread));
    for (const std::string& line : lines) {
        // I|dd/mm/yyyy hh:mm:ss.mmm|NAME    | thread T line N x...x, each line whole and in order
        int t = -1, i = -1, end = 0;
        char name[9] = {};
        ASSERT_EQ(sscanf(line.c_str(), "I|%*10c %*12c|%8c| thread %d line %d %*[x]%n", name, &t, &i, &end), 3) << line;
        ASSERT_TRUE(t >= 0 && t < threads && end == static_cast<int>(line.size())) << line;
        EXPECT_EQ(std::string(name), i % 2 ? "TFTP    " : "BOOTP   ") << line;
        EXPECT_EQ(line.size() - line.find(" x") - 1, static_cast<size_t>(40 + i % 60)) << line;
        EXPECT_EQ(i, next[t]++) << line;
    }
    EXPECT_EQ(logtest::Count(logtest::ReadFile(Dir + "messages.log"), " (busy)\n"), static_cast<size_t>(threads * perThread));
}

} // namespace
