// Log filter: which Trace lines klog.cfg lets through (the document's examples and the
// rules around them), the size settings and the messages for missing parts.
#include <unistd.h>

#include <gtest/gtest.h>

#include "Basekit/KLogFilter.h"
#include "Basekit/KLogManager.h"
#include "tests/Basekit/LogTestSupport.h"

namespace {

const char* const NoFile = nullptr;

struct MatrixCase {
    const char* name;
    const char* cfg; // klog.cfg text; nullptr: no file
    KLogSource source;
    unsigned option;
    bool written;
    friend void PrintTo(const MatrixCase& c, std::ostream* os) { *os << c.name; }
};

class TraceMatrix : public ::testing::TestWithParam<MatrixCase> {};

TEST_P(TraceMatrix, DecidesTraceLines)
{
    const MatrixCase& c = GetParam();
    if (c.cfg)
        logtest::WriteKlogCfg(c.cfg);
    else
        unlink("/etc/varnel/config/klog.cfg");
    KLogFilter filter;
    filter.LoadConfig();
    EXPECT_EQ(filter.IsActive(klTrace, c.source, c.option), c.written);
    // Every other level is written whatever the file says.
    for (KLogLevel level : {klError, klWarning, klInfo, klNotice})
        EXPECT_TRUE(filter.IsActive(level, c.source, c.option)) << level;
}

const char* const BootpOnlyFull = "[KLogger]\nFullLog=true\n[TAVO]\nValue=true\nBOOTP=true\n";
const char* const FalseFalse = "[TAVO]\nValue=false\nBOOTP=false\n";
const char* const FalseFalseFull = "[KLogger]\nFullLog=true\n[TAVO]\nValue=false\nBOOTP=false\n";
const unsigned All = 0xFFFFFFFFu;

INSTANTIATE_TEST_SUITE_P(
    Examples, TraceMatrix,
    ::testing::Values(
        // Value=true with BOOTP=true: only BOOTP, even under FullLog (the others default to never).
        MatrixCase{"BootpOnly_Bootp", BootpOnlyFull, klsTAVO, kloTavoBOOTP, true},
        MatrixCase{"BootpOnly_General", BootpOnlyFull, klsTAVO, kloTavoGeneral, false},
        MatrixCase{"BootpOnly_Tftp", BootpOnlyFull, klsTAVO, kloTavoTFTP, false},
        // Value=false, BOOTP=false: nothing; with FullLog only BOOTP (not "never").
        MatrixCase{"FalseFalse_Bootp", FalseFalse, klsTAVO, kloTavoBOOTP, false},
        MatrixCase{"FalseFalseFull_Bootp", FalseFalseFull, klsTAVO, kloTavoBOOTP, true},
        MatrixCase{"FalseFalseFull_General", FalseFalseFull, klsTAVO, kloTavoGeneral, false},
        // No [Config] section: never, even with FullLog.
        MatrixCase{"NoConfigSection_All", BootpOnlyFull, klsConfig, All, false},
        // Loggers of every option (-1): on while the mask has any bit.
        MatrixCase{"OptionlessTrue", "[Timer]\nValue=true\n", klsTimer, All, true},
        MatrixCase{"OptionlessFalse", "[Timer]\nValue=false\n", klsTimer, All, false},
        MatrixCase{"OptionlessFalseFull", "[KLogger]\nFullLog=true\n[Timer]\nValue=false\n", klsTimer, All, true},
        MatrixCase{"OptionlessNeverFull", "[KLogger]\nFullLog=true\n[Timer]\nValue=never\n", klsTimer, All, false},
        // Value=true leaves the bits beyond the named options on.
        MatrixCase{"TavoAllOptionsLogger", "[TAVO]\nValue=true\nBOOTP=true\n", klsTAVO, All, true},
        MatrixCase{"WordsIgnoreCase", "[KLogger]\nFullLog=TRUE\n[TAVO]\nValue=TRUE\nTFTP=True\n", klsTAVO,
                   kloTavoTFTP, true},
        MatrixCase{"SystemAlwaysOn", "", klsSystem, All, true},
        MatrixCase{"NoFile_Bootp", NoFile, klsTAVO, kloTavoBOOTP, false},
        MatrixCase{"NoFile_System", NoFile, klsSystem, All, true}),
    [](const ::testing::TestParamInfo<MatrixCase>& param) { return std::string(param.param.name); });

struct SizeCase {
    const char* name;
    const char* cfg;
    unsigned long long maxFile;
    unsigned long long maxTotal;
    friend void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.name; }
};

class Sizes : public ::testing::TestWithParam<SizeCase> {};

TEST_P(Sizes, ReadFromAnywhereInTheFile)
{
    logtest::WriteKlogCfg(GetParam().cfg);
    KLogFilter filter;
    filter.LoadConfig();
    EXPECT_EQ(filter.MaxLogFileSize(), GetParam().maxFile);
    EXPECT_EQ(filter.MaxTotalLogSize(), GetParam().maxTotal);
}

INSTANTIATE_TEST_SUITE_P(
    Values, Sizes,
    ::testing::Values(SizeCase{"Hex", "MaxLogFileSize=0x200000\n", 2097152, 10737418240ull},
                      SizeCase{"Undefined", "MaxLogFileSize=@\nMaxTotalLogSize=@\n", 104857600, 10737418240ull},
                      SizeCase{"TrailingText", "[TAVO]\nMaxLogFileSize=12abc\nMaxTotalLogSize=20000000000\n", 12,
                               20000000000ull},
                      SizeCase{"NotANumber", "MaxLogFileSize=abc\n", 104857600, 10737418240ull},
                      SizeCase{"FirstOccurrence", "MaxLogFileSize=5\nMaxLogFileSize=6\n", 5, 10737418240ull}),
    [](const ::testing::TestParamInfo<SizeCase>& param) { return std::string(param.param.name); });

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
