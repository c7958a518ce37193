// Logger core: the line format in each file, the messages copy, prefixes, the filter's
// effect on formatting, file names from flags, the running log's ids and concurrent logging.
#include <regex>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "Basekit/KLogManager.h"
#include "Basekit/KLogger.h"
#include "tests/Basekit/LogTestSupport.h"

namespace {

using logtest::Dir, logtest::Nov14;

// Before any logger exists: the manager reads this klog.cfg when it is created.
const bool Configured = logtest::Configure("[TAVO]\nValue=true\nBOOTP=true\n[System]\nValue=true\n", Nov14, 123);
// Keeps the manager alive for the whole run.
KLogger Bootp(klsTAVO, kloTavoBOOTP, "BOOTP", "tavo", 0x10, false);

std::string LastLine(const std::string& file)
{
    std::vector<std::string> lines = logtest::Lines(Dir + file);
    return lines.empty() ? "" : lines.back();
}

TEST(KLogger, LineFormatPrefixesAndTheMessagesCopyOfErrorWarningInfo)
{
    ASSERT_TRUE(Configured);
    const std::string header = "|14/11/2023 22:13:20.123|BOOTP   ";
    const std::pair<KLogLevel, char> levels[] = {
        {klError, 'E'}, {klWarning, 'W'}, {klInfo, 'I'}, {klNotice, 'N'}, {klTrace, 'T'}};
    for (const auto& level : levels) {
        Bootp.Log(level.first, "board %d level %c", 7, level.second);
        // letter | day/month/year time.ms | name padded to 8 | blank, text
        const std::string expected = level.second + header + "| board 7 level " + level.second;
        EXPECT_EQ(LastLine("tavo.log"), expected);
        const bool copied = level.first == klError || level.first == klWarning || level.first == klInfo;
        EXPECT_EQ(logtest::Count(logtest::ReadFile(Dir + "messages.log"), expected), copied ? 1u : 0u);
        EXPECT_EQ(LastLine("messages.log") == expected + " (tavo)", copied);
    }
    const std::pair<std::function<void()>, const char*> prefixes[] = {
        {[] { Bootp.Log(klNotice, kstring("as is")); }, "as is"}, // a kstring: no separator
        {[] { Bootp.LogDev(klNotice, 3, "x"); }, "|D3| x"},
        {[] { Bootp.LogChanAndCall(klNotice, 1, 5, 9, "x"); }, "|D1 C05 K9| x"},
        {[] { Bootp.LogDsp(klNotice, 2, 1, "x"); }, "|D2 PB| x"},
        {[] { Bootp.LogLinkAndCall(klNotice, 1, 4, 9, "x"); }, "|D1 L4 K9| x"},
        {[] { Bootp.LogNaiAndCall(klNotice, 6, 9, "x"); }, "|N6 K9| x"},
        {[] { Bootp.Log(static_cast<KLogLevel>(7), "odd"); }, "| odd"}};
    for (const auto& prefix : prefixes) {
        prefix.first();
        const char letter = std::string(prefix.second) == "| odd" ? 'E' : 'N'; // a bad level is an Error
        EXPECT_EQ(LastLine("tavo.log"), letter + header + prefix.second);
    }
    KLogger unnamed(klsTAVO, kloTavoBOOTP, "BOOTP", "tavo", 0, false);
    unnamed.Notice("plain");
    EXPECT_EQ(LastLine("tavo.log"), "N|14/11/2023 22:13:20.123| plain");
    EXPECT_EQ(unnamed.Writer(), Bootp.Writer()); // one writer per file
}

TEST(KLogger, FilteredTraceIsNeverFormatted)
{
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

TEST(KLogger, FileNamesFollowTheFlags)
{
    const std::string pid = std::to_string(getpid());
    // The manager started while the clock read 14/11/2023 22:13:20.
    const std::string exe = logtest::ExeName();
    const std::pair<int, std::string> cases[] = {{0x11, exe + ".basekit.log"}, {0x13, exe + ".basekit.pid" + pid + ".log"},
                                                 {0x04, "basekit.20231114.221320.log"},
                                                 {0x07, exe + ".basekit.20231114.221320.pid" + pid + ".log"}};
    for (const auto& c : cases) {
        KLogger logger(klsTimer, -1, "TIMER", "basekit", c.first, false);
        logger.Notice("named");
        EXPECT_TRUE(logtest::Exists(Dir + c.second)) << c.second;
    }
}

TEST(KLogger, OverwrittenOptionWinsUntilReleased)
{
    EXPECT_TRUE(KLogger::IsOptionActive(klsTAVO, kloTavoBOOTP));
    EXPECT_FALSE(KLogger::IsOptionActive(klsTAVO, kloTavoTFTP));
    EXPECT_EQ(KLogger::GetConfig(klsTAVO), static_cast<int>(0xFFFFFFFFu & ~(1u | 4u | 8u)));
    KLogger::OverwriteOption(klsTAVO, kloTavoTFTP);
    EXPECT_TRUE(KLogger::IsOptionActive(klsTAVO, kloTavoTFTP));
    EXPECT_FALSE(KLogger::IsOptionActive(klsTAVO, kloTavoBOOTP));
    KLogger::ReleaseOverwrittenOption(klsTAVO);
    EXPECT_TRUE(KLogger::IsOptionActive(klsTAVO, kloTavoBOOTP));
}

TEST(KLogger, RunningLogLineCarriesProcessAndThreadIdsAndCheckpointsReachOpenFiles)
{
    logtest::SetClock(Nov14, 5);
    std::thread([] { KHostSystem::ReportThread(klNotice, "Thread started: %s", "demo"); }).join();
    std::string line = LastLine(logtest::ExeName() + ".running.log");
    char pid[16];
    snprintf(pid, sizeof(pid), "%05d", static_cast<int>(getpid())); // zero-padded to five digits
    EXPECT_TRUE(std::regex_match(line, std::regex("N\\|14/11/2023 22:13:20\\.005\\|SWALKER \\|PID=" + std::string(pid) +
                                                  " LWP=\\d{5,} TRD=[ \\d]{10}\\| Thread started: demo")))
        << line;
    Bootp.Notice("open"); // the checkpoint goes to open files only
    KLogManager::GetMe(false)->MakeCheckpoint();
    // header without name, then the checkpoint text with its trailing blank
    EXPECT_TRUE(std::regex_match(LastLine("tavo.log"), std::regex("T\\|14/11/2023 22:13:20\\.005\t\t\t\t \\*\\*\\*\\*\\* "
                                                                  "CHECKPOINT \\d+ \\*\\*\\*\\*\\* ")))
        << LastLine("tavo.log");
    EXPECT_EQ(logtest::ReadFile(Dir + "messages.log").find("CHECKPOINT"), std::string::npos);
}

TEST(KLogger, ThreadsLoggingAtOnceNeverTearLines)
{
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
    std::regex shape("I\\|[0-9/]{10} [0-9:.]{12}\\|(TFTP    |BOOTP   )\\| thread (\\d) line (\\d+) x+");
    std::vector<int> next(threads, 0);
    std::vector<std::string> lines = logtest::Lines(Dir + "busy.log");
    ASSERT_EQ(lines.size(), static_cast<size_t>(threads * perThread));
    for (const std::string& line : lines) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, shape)) << line;
        EXPECT_EQ(std::stoi(match[3]), next[std::stoi(match[2])]++) << line;
    }
    EXPECT_EQ(logtest::Count(logtest::ReadFile(Dir + "messages.log"), " (busy)\n"), static_cast<size_t>(threads * perThread));
}

} // namespace
