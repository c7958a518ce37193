// Logger core: the line format in each file, the messages copy, prefixes, the filter's
// effect on formatting, file names from flags, shared writers and concurrent logging.
#include <regex>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "Basekit/KLogManager.h"
#include "Basekit/KLogger.h"
#include "tests/Basekit/LogTestSupport.h"

namespace {

const std::string Dir = "/var/log/varnel/";
const long long Nov14 = 1700000000; // 14/11/2023 22:13:20 UTC

// Before any logger exists: the manager reads this klog.cfg when it is created.
const bool Configured = [] {
    logtest::WriteKlogCfg("[TAVO]\nValue=true\nBOOTP=true\n[System]\nValue=true\n");
    logtest::SetClock(Nov14, 123);
    return true;
}();
// Keeps the manager alive for the whole run.
KLogger Bootp(klsTAVO, kloTavoBOOTP, "BOOTP", "tavo", 0x10, false);

std::string LastLine(const std::string& file)
{
    std::vector<std::string> lines = logtest::Lines(Dir + file);
    return lines.empty() ? "" : lines.back();
}

struct LevelCase {
    KLogLevel level;
    char letter;
    bool copied; // to messages.log
    friend void PrintTo(const LevelCase& c, std::ostream* os) { *os << c.letter; }
};

class LineFormat : public ::testing::TestWithParam<LevelCase> {};

TEST_P(LineFormat, OwnFileHasHeaderAndMessagesGetsErrorWarningInfo)
{
    ASSERT_TRUE(Configured);
    logtest::SetClock(Nov14, 123);
    KLogger logger(klsTAVO, kloTavoBOOTP, "BOOTP", "levels", 0x10, false);
    std::string text = std::string("board 7 level ") + GetParam().letter;
    logger.Log(GetParam().level, "board %d level %c", 7, GetParam().letter);
    // letter | day/month/year time.ms | name padded to 8 | blank, text
    std::string expected = std::string(1, GetParam().letter) + "|14/11/2023 22:13:20.123|BOOTP   | " + text;
    EXPECT_EQ(LastLine("levels.log"), expected);
    std::string messages = logtest::ReadFile(Dir + "messages.log");
    EXPECT_EQ(logtest::Count(messages, expected + " (levels)\n"), GetParam().copied ? 1u : 0u);
    EXPECT_EQ(logtest::Count(messages, text), GetParam().copied ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Levels, LineFormat,
                         ::testing::Values(LevelCase{klError, 'E', true}, LevelCase{klWarning, 'W', true},
                                           LevelCase{klInfo, 'I', true}, LevelCase{klNotice, 'N', false},
                                           LevelCase{klTrace, 'T', false}));

TEST(KLogger, InfoOfBootpLoggerInTavoLogAndMessages)
{
    logtest::SetClock(Nov14, 7);
    Bootp.Info("reply sent to %s", "192.0.2.50");
    EXPECT_EQ(LastLine("tavo.log"), "I|14/11/2023 22:13:20.007|BOOTP   | reply sent to 192.0.2.50");
    EXPECT_EQ(LastLine("messages.log"), "I|14/11/2023 22:13:20.007|BOOTP   | reply sent to 192.0.2.50 (tavo)");
}

TEST(KLogger, KstringTextHasNoSeparatorAndNoNameWithoutFlag)
{
    logtest::SetClock(Nov14, 1);
    KLogger named(klsTAVO, kloTavoBOOTP, "BOOTP", "raw", 0x10, false);
    named.Log(klNotice, kstring("as is"));
    EXPECT_EQ(LastLine("raw.log"), "N|14/11/2023 22:13:20.001|BOOTP   as is");
    KLogger unnamed(klsTAVO, kloTavoBOOTP, "BOOTP", "raw", 0, false);
    unnamed.Notice("plain");
    EXPECT_EQ(LastLine("raw.log"), "N|14/11/2023 22:13:20.001| plain");
}

struct PrefixCase {
    const char* name;
    std::function<void(KLogger&)> log;
    const char* message; // after the header
    friend void PrintTo(const PrefixCase& c, std::ostream* os) { *os << c.name; }
};

class Prefixes : public ::testing::TestWithParam<PrefixCase> {};

TEST_P(Prefixes, PrecedeTheText)
{
    logtest::SetClock(Nov14, 0);
    KLogger logger(klsTAVO, kloTavoBOOTP, "BOOTP", "prefix", 0x10, false);
    GetParam().log(logger);
    EXPECT_EQ(LastLine("prefix.log"), std::string("N|14/11/2023 22:13:20.000|BOOTP   ") + GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Variants, Prefixes,
    ::testing::Values(
        PrefixCase{"Dev", [](KLogger& l) { l.LogDev(klNotice, 3, "x"); }, "|D3| x"},
        PrefixCase{"Channel", [](KLogger& l) { l.LogChannel(klNotice, 1, 5, "x"); }, "|D1 C05| x"},
        PrefixCase{"ChanAndCall", [](KLogger& l) { l.LogChanAndCall(klNotice, 1, 5, 9, "x"); }, "|D1 C05 K9| x"},
        PrefixCase{"Call", [](KLogger& l) { l.LogCall(klNotice, 9, "x"); }, "|K9| x"},
        PrefixCase{"Dsp", [](KLogger& l) { l.LogDsp(klNotice, 2, 1, "x"); }, "|D2 PB| x"},
        PrefixCase{"Link", [](KLogger& l) { l.LogLink(klNotice, 1, 4, "x"); }, "|D1 L4| x"},
        PrefixCase{"LinkAndCall", [](KLogger& l) { l.LogLinkAndCall(klNotice, 1, 4, 9, "x"); }, "|D1 L4 K9| x"},
        PrefixCase{"Nai", [](KLogger& l) { l.LogNai(klNotice, 6, "x"); }, "|N6| x"},
        PrefixCase{"NaiAndCall", [](KLogger& l) { l.LogNaiAndCall(klNotice, 6, 9, "x"); }, "|N6 K9| x"}),
    [](const ::testing::TestParamInfo<PrefixCase>& param) { return std::string(param.param.name); });

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

TEST(KLogger, OutOfRangeLevelIsWrittenAsErrorAndReported)
{
    logtest::SetClock(Nov14, 0);
    KLogger logger(klsTAVO, kloTavoBOOTP, "BOOTP", "badlevel", 0x10, false);
    logger.Log(static_cast<KLogLevel>(7), "odd");
    EXPECT_EQ(LastLine("badlevel.log"), "E|14/11/2023 22:13:20.000|BOOTP   | odd");
    EXPECT_NE(logtest::ReadFile(Dir + "klog.log").find("| Invalid log request level=7 src=18 opt=2, returning true"),
              std::string::npos);
}

struct FileNameCase {
    const char* name;
    int flags;
    const char* file;
    std::function<std::string()> expected;
    friend void PrintTo(const FileNameCase& c, std::ostream* os) { *os << c.name; }
};

class FileNames : public ::testing::TestWithParam<FileNameCase> {};

TEST_P(FileNames, FollowTheFlags)
{
    KLogger logger(klsTimer, -1, "TIMER", GetParam().file, GetParam().flags, false);
    logger.Notice("named");
    EXPECT_TRUE(logtest::Exists(Dir + GetParam().expected())) << GetParam().expected();
}

INSTANTIATE_TEST_SUITE_P(
    Flags, FileNames,
    ::testing::Values(FileNameCase{"Plain", 0x10, "plainname", [] { return std::string("plainname.log"); }},
                      FileNameCase{"ExeName", 0x11, "basekit", [] { return logtest::ExeName() + ".basekit.log"; }},
                      FileNameCase{"ExeNameAndPid", 0x13, "basekit",
                                   [] { return logtest::ExeName() + ".basekit.pid" + std::to_string(getpid()) + ".log"; }},
                      // The manager started while the clock read 14/11/2023 22:13:20.
                      FileNameCase{"StartTime", 0x04, "started", [] { return std::string("started.20231114.221320.log"); }},
                      FileNameCase{"AllInOrder", 0x07, "all",
                                   [] {
                                       return logtest::ExeName() + ".all.20231114.221320.pid" + std::to_string(getpid()) +
                                              ".log";
                                   }}),
    [](const ::testing::TestParamInfo<FileNameCase>& param) { return std::string(param.param.name); });

TEST(KLogger, SameFileSharesOneWriter)
{
    KLogger tftp(klsTAVO, kloTavoTFTP, "TFTP", "tavo", 0x10, false);
    EXPECT_EQ(tftp.Writer(), Bootp.Writer());
    KLogger other(klsTAVO, kloTavoTFTP, "TFTP", "other", 0x10, false);
    EXPECT_NE(other.Writer(), Bootp.Writer());
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
    EXPECT_EQ(KLogger::GetConfig(static_cast<KLogSource>(31)), 0);
}

TEST(KLogger, RunningLogLineCarriesProcessAndThreadIds)
{
    logtest::SetClock(Nov14, 5);
    std::thread([] { KHostSystem::ReportThread(klNotice, "Thread started: %s", "demo"); }).join();
    std::string line = LastLine(logtest::ExeName() + ".running.log");
    char pid[16];
    snprintf(pid, sizeof(pid), "%05d", static_cast<int>(getpid())); // zero-padded to five digits
    std::regex expected("N\\|14/11/2023 22:13:20\\.005\\|SWALKER \\|PID=" + std::string(pid) +
                        " LWP=\\d{5,} TRD=[ \\d]{10}\\| Thread started: demo");
    EXPECT_TRUE(std::regex_match(line, expected)) << line;
}

TEST(KLogger, CheckpointGoesToFilesKeptOpen)
{
    logtest::SetClock(Nov14, 9);
    KLogger kept(klsTAVO, kloTavoBOOTP, "BOOTP", "kept", 0x10, false);
    kept.Notice("before");
    KLogManager::GetMe(false)->MakeCheckpoint();
    std::vector<std::string> lines = logtest::Lines(Dir + "kept.log");
    ASSERT_EQ(lines.size(), 2u);
    // header without name, then the checkpoint text with its trailing blank
    EXPECT_TRUE(std::regex_match(lines[1], std::regex("T\\|14/11/2023 22:13:20\\.009\t\t\t\t \\*\\*\\*\\*\\* "
                                                      "CHECKPOINT \\d+ \\*\\*\\*\\*\\* ")))
        << lines[1];
    EXPECT_EQ(logtest::ReadFile(Dir + "messages.log").find("CHECKPOINT"), std::string::npos);
}

TEST(KLogger, ThreadsLoggingAtOnceNeverTearLines)
{
    const int threads = 8;
    const int perThread = 500;
    KLogger tftp(klsTAVO, kloTavoTFTP, "TFTP", "busy", 0x10, false);
    KLogger bootp(klsTAVO, kloTavoBOOTP, "BOOTP", "busy", 0x10, false);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                KLogger& logger = (i % 2) ? tftp : bootp;
                logger.Info("thread %d line %d %s", t, i, std::string(40 + (i % 60), 'x').c_str());
            }
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    std::regex shape("I\\|\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\|(TFTP    |BOOTP   )\\| thread (\\d) line "
                     "(\\d+) x+");
    std::vector<int> next(threads, 0);
    std::vector<std::string> lines = logtest::Lines(Dir + "busy.log");
    ASSERT_EQ(lines.size(), static_cast<size_t>(threads * perThread));
    for (const std::string& line : lines) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, shape)) << line;
        int t = std::stoi(match[2]);
        EXPECT_EQ(std::stoi(match[3]), next[t]++) << line;
    }
    std::string messages = logtest::ReadFile(Dir + "messages.log");
    EXPECT_EQ(logtest::Count(messages, " (busy)\n"), static_cast<size_t>(threads * perThread));
}

} // namespace
