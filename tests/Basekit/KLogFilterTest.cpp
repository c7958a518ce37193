// Log filter: which Trace lines klog.cfg lets through, the size settings and the messages for
// missing parts (its wire form is the reload channel test's and the log server fuzz target's).
#include <unistd.h>

#include <gtest/gtest.h>

#include "Basekit/KLogFilter.h"
#include "Basekit/KLogManager.h"
#include "Basekit/KLogger.h"
#include "tests/Basekit/LogTestSupport.h"

namespace {

const char* const BootpOnlyFull = "[KLogger]\nFullLog=true\n[TAVO]\nValue=true\nBOOTP=true\n";
const char* const FalseFalse = "[TAVO]\nValue=false\nBOOTP=false\n";
const char* const FalseFalseFull = "[KLogger]\nFullLog=true\n[TAVO]\nValue=false\nBOOTP=false\n";
const unsigned All = 0xFFFFFFFFu;

void Load(KLogFilter& filter, const char* cfg)
{
    if (cfg)
        logtest::WriteKlogCfg(cfg);
    else
        unlink("/etc/varnel/config/klog.cfg");
    filter.LoadConfig();
}

TEST(KLogFilter, TraceLinesFollowTheFileAndEveryOtherLevelIsWritten)
{
    const struct {
        const char* cfg; // klog.cfg text; nullptr: no file
        KLogSource source;
        unsigned option;
        bool written;
    } cases[] = {
        // Value=true with BOOTP=true: only BOOTP, even under FullLog (the others default to never).
        {BootpOnlyFull, klsTAVO, kloTavoBOOTP, true}, {BootpOnlyFull, klsTAVO, kloTavoGeneral, false},
        // Value=false, BOOTP=false: nothing; with FullLog only BOOTP (not "never").
        {FalseFalse, klsTAVO, kloTavoBOOTP, false}, {FalseFalseFull, klsTAVO, kloTavoBOOTP, true},
        {BootpOnlyFull, klsConfig, All, false}, // no [Config] section: never, even with FullLog
        // Loggers of every option (-1): on while the mask has any bit.
        {"[Timer]\nValue=true\n", klsTimer, All, true}, {"[Timer]\nValue=false\n", klsTimer, All, false},
        {"[KLogger]\nFullLog=true\n[Timer]\nValue=false\n", klsTimer, All, true},
        {"[KLogger]\nFullLog=true\n[Timer]\nValue=never\n", klsTimer, All, false},
        {"[TAVO]\nValue=true\nBOOTP=true\n", klsTAVO, All, true}, // bits beyond the named options stay on
        {"", klsSystem, All, true}, {nullptr, klsTAVO, kloTavoBOOTP, false}, {nullptr, klsSystem, All, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.cfg ? c.cfg : "no file") << " source " << c.source << " option " << c.option);
        KLogFilter filter;
        Load(filter, c.cfg);
        EXPECT_EQ(filter.IsActive(klTrace, c.source, c.option), c.written);
        for (KLogLevel level : {klError, klWarning, klInfo, klNotice})
            EXPECT_TRUE(filter.IsActive(level, c.source, c.option)) << level;
    }
}

TEST(KLogFilter, SizesAreReadFromAnywhereInTheFile)
{
    const struct {
        const char* cfg;
        unsigned long long maxFile, maxTotal;
    } cases[] = {{"MaxLogFileSize=0x200000\n", 2097152, 10737418240ull},
                 {"MaxLogFileSize=@\nMaxTotalLogSize=@\n", 104857600, 10737418240ull},
                 {"[TAVO]\nMaxLogFileSize=12abc\nMaxTotalLogSize=20000000000\n", 12, 20000000000ull},
                 {"MaxLogFileSize=5\nMaxLogFileSize=6\n", 5, 10737418240ull}};
    for (const auto& c : cases) {
        KLogFilter filter;
        Load(filter, c.cfg);
        EXPECT_EQ(filter.MaxLogFileSize(), c.maxFile) << c.cfg;
        EXPECT_EQ(filter.MaxTotalLogSize(), c.maxTotal) << c.cfg;
    }
}

bool CallbackRemote = true;
int CallbackCalls = 0;

TEST(KLogFilter, MissingPartsAndBadRequestsAreNamedInTheInternalLog)
{
    auto logged = [](const std::string& text) {
        return logtest::ReadFile(logtest::Dir + "klog.log").find("| " + text + "\n") != std::string::npos;
    };
    const std::string cfg = "/etc/varnel//config/klog.cfg";
    logtest::WriteKlogCfg("[TAVO]\nValue=true\n");
    KLogFilter filter(KLogManager::GetMe(false)); // reports to the internal log, as the manager's own does
    CallbackCalls = 0;
    filter.SetCallback([](bool remote) {
        CallbackRemote = remote;
        ++CallbackCalls;
    });
    filter.LoadConfig();
    EXPECT_EQ(CallbackCalls, 1);
    EXPECT_FALSE(CallbackRemote);
    EXPECT_TRUE(logged("Error loading section [Config], assuming 'never' for all keys. Error: [Section [Config] "
                       "not found(config[" + cfg + "])]"));
    unlink("/etc/varnel/config/klog.cfg");
    filter.LoadConfig();
    EXPECT_EQ(CallbackCalls, 2);
    EXPECT_TRUE(logged("Log filter file " + cfg + " not loaded [Config file not found(config[" + cfg +
                       "])]: Trace lines are off for every source"));
    // A bad request is written.
    EXPECT_TRUE(filter.IsActive(static_cast<KLogLevel>(7), klsTAVO, 2));
    EXPECT_TRUE(filter.IsActive(klTrace, static_cast<KLogSource>(30), 1));
    EXPECT_TRUE(logged("Invalid log request level=7 src=18 opt=2, returning true"));
    EXPECT_TRUE(logged("Invalid log request level=4 src=30 opt=1, returning true"));
}

// Through the loggers' own calls, on the filter the log manager reloads.
TEST(KLogFilter, OverwrittenSourceSurvivesReload)
{
    logtest::Begin("[TAVO]\nValue=never\n");
    KLogFilter& filter = *KLogManager::GetMe(false)->Filter();
    KLogger::OverwriteOption(klsTAVO, kloTavoTime);
    filter.LoadConfig();
    EXPECT_TRUE(KLogger::IsOptionActive(klsTAVO, kloTavoTime));
    EXPECT_EQ(KLogger::GetConfig(klsTAVO), static_cast<int>(kloTavoTime));
    KLogger::ReleaseOverwrittenOption(klsTAVO);
    filter.LoadConfig();
    EXPECT_FALSE(KLogger::IsOptionActive(klsTAVO, kloTavoTime));
}

} // namespace
