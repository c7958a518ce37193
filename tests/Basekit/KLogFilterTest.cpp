// Log filter: which Trace lines klog.cfg lets through, the size settings, the messages for
// missing parts, and its wire form in memory (the channel over a socket is the reload channel
// test's; the string bound and the round trip are the log server fuzz target's).
#include <cstring>
#include <stdexcept>
#include <unistd.h>

#include <gtest/gtest.h>

#include "Basekit/KLogFilter.h"
#include "Basekit/KLogManager.h"
#include "Basekit/KReloadMessage.h"
#include "Basekit/LM7/Basics/KInSerializer.h"
#include "Basekit/LM7/Basics/KOutSerializer.h"
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

using Bytes = std::vector<uint8_t>;

// The serializer's ends in memory: what is written, and what is read (with the count used).
struct MemoryOut : basekit::KOutSerializer {
    Bytes bytes;
    void Serialize(void* data, unsigned size) override
    {
        bytes.insert(bytes.end(), static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
    }
};

struct MemoryIn : basekit::KInSerializer {
    MemoryIn(Bytes source, size_t skip) : bytes(std::move(source)), consumed(skip) {}
    Bytes bytes;
    size_t consumed;
    void Serialize(void* data, unsigned size) override
    {
        if (size > bytes.size() - consumed)
            throw std::runtime_error("read past the end");
        memcpy(data, bytes.data() + consumed, size);
        consumed += size;
    }
};

TEST(KLogFilterWire, WrittenInTheFrameLayoutReadWithFewerOrMoreEntriesThanSources)
{
    KLogFilter filter;
    filter.OverwriteOption(klsTAVO, 0x6);
    MemoryOut out;
    filter.Serialize(out);
    std::vector<logtest::FilterEntry> entries(29, logtest::FilterEntry{All, false, 0});
    entries[klsTAVO] = {6, true, 0};
    const Bytes frame = logtest::FilterFrame(entries, false, 104857600, 10737418240ull); // 100 MiB, 10 GiB
    EXPECT_EQ(out.bytes, Bytes(frame.begin() + 8, frame.end())); // the frame without size and type

    // Sources beyond those sent keep their defaults; entries beyond the 29 sources are skipped.
    for (size_t count : {size_t(29), size_t(2), size_t(31)}) {
        SCOPED_TRACE(count);
        std::vector<logtest::FilterEntry> sent(count, logtest::FilterEntry{3, false, 0});
        sent[0] = {0, false, All};
        sent[1] = {5, true, 2};
        MemoryIn in(count == 29 ? out.bytes : logtest::FilterFrame(sent, count == 2, 2097152, count), count == 29 ? 0 : 8);
        KLogFilter read;
        read.Serialize(in);
        EXPECT_EQ(in.consumed, in.bytes.size());
        const bool mine = count == 29;
        EXPECT_EQ(read.NeverMask(klsSystem), mine ? 0u : All);
        EXPECT_EQ(read.OptionMask(klsSource1), mine ? All : 5u);
        EXPECT_EQ(read.NeverMask(klsSource1), mine ? 0u : 2u);
        EXPECT_EQ(read.OptionMask(klsTAVO), mine ? 6u : count == 2 ? All : 3u);
        EXPECT_EQ(read.IsOverwritten(klsTAVO), mine);
        EXPECT_EQ(read.OptionMask(klsSource28), count == 31 ? 3u : All);
        EXPECT_EQ(read.FullLog(), count == 2);
        EXPECT_EQ(read.MaxLogFileSize(), mine ? 104857600u : 2097152u);
        EXPECT_EQ(read.MaxTotalLogSize(), mine ? 10737418240ull : count);
    }
}

} // namespace
