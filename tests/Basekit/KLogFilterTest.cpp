// Log filter: which Trace lines klog.cfg lets through (the document's examples and the
// rules around them), the size settings and the messages for missing parts.
#include <unistd.h>

#include <gtest/gtest.h>

#include "Basekit/KLogFilter.h"
#include "Basekit/KLogManager.h"
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
        {BootpOnlyFull, klsTAVO, kloTavoTFTP, false},
        // Value=false, BOOTP=false: nothing; with FullLog only BOOTP (not "never").
        {FalseFalse, klsTAVO, kloTavoBOOTP, false}, {FalseFalseFull, klsTAVO, kloTavoBOOTP, true},
        {FalseFalseFull, klsTAVO, kloTavoGeneral, false},
        {BootpOnlyFull, klsConfig, All, false}, // no [Config] section: never, even with FullLog
        // Loggers of every option (-1): on while the mask has any bit.
        {"[Timer]\nValue=true\n", klsTimer, All, true}, {"[Timer]\nValue=false\n", klsTimer, All, false},
        {"[KLogger]\nFullLog=true\n[Timer]\nValue=false\n", klsTimer, All, true},
        {"[KLogger]\nFullLog=true\n[Timer]\nValue=never\n", klsTimer, All, false},
        {"[TAVO]\nValue=true\nBOOTP=true\n", klsTAVO, All, true}, // bits beyond the named options stay on
        {"[KLogger]\nFullLog=TRUE\n[TAVO]\nValue=TRUE\nTFTP=True\n", klsTAVO, kloTavoTFTP, true},
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
                 {"MaxLogFileSize=abc\n", 104857600, 10737418240ull},
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
    std::string klog = logtest::ReadFile("/var/log/varnel/klog.log");
    EXPECT_NE(klog.find("| Error loading section [Config], assuming 'never' for all keys. Error: [Section [Config] "
                        "not found(config[/etc/varnel//config/klog.cfg])]\n"),
              std::string::npos);

    unlink("/etc/varnel/config/klog.cfg");
    filter.LoadConfig();
    EXPECT_EQ(CallbackCalls, 2);
    klog = logtest::ReadFile("/var/log/varnel/klog.log");
    EXPECT_NE(klog.find("| Log filter file /etc/varnel//config/klog.cfg not loaded [Config file not "
                        "found(config[/etc/varnel//config/klog.cfg])]: Trace lines are off for every source\n"),
              std::string::npos);
    // A bad request is written.
    EXPECT_TRUE(filter.IsActive(static_cast<KLogLevel>(7), klsTAVO, 2));
    EXPECT_TRUE(filter.IsActive(klTrace, static_cast<KLogSource>(30), 1));
    klog = logtest::ReadFile("/var/log/varnel/klog.log");
    EXPECT_NE(klog.find("| Invalid log request level=7 src=18 opt=2, returning true\n"), std::string::npos);
    EXPECT_NE(klog.find("| Invalid log request level=4 src=30 opt=1, returning true\n"), std::string::npos);
}

TEST(KLogFilter, OverwrittenSourceSurvivesReload)
{
    logtest::WriteKlogCfg("[TAVO]\nValue=never\n");
    KLogFilter filter;
    filter.OverwriteOption(klsTAVO, kloTavoTime);
    filter.LoadConfig();
    EXPECT_TRUE(filter.IsActive(klTrace, klsTAVO, kloTavoTime));
    filter.ReleaseOverwrittenOption(klsTAVO);
    filter.LoadConfig();
    EXPECT_FALSE(filter.IsActive(klTrace, klsTAVO, kloTavoTime));
}

} // namespace
