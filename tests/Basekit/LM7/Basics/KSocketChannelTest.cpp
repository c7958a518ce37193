// Message serialization: string rules and the log filter's wire form, in memory. The channel
// over a socket is proven by the reload channel and remote log client tests.
#include <cstring>
#include <stdexcept>

#include <gtest/gtest.h>

#include "Basekit/KReloadMessage.h"
#include "Basekit/LM7/Basics/KInSerializer.h"
#include "Basekit/LM7/Basics/KOutSerializer.h"
#include "tests/Basekit/LogTestSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct MemoryOut : basekit::KOutSerializer {
    Bytes bytes;
    void Serialize(void* data, unsigned size) override
    {
        const uint8_t* p = static_cast<const uint8_t*>(data);
        bytes.insert(bytes.end(), p, p + size);
    }
};

struct MemoryIn : basekit::KInSerializer {
    explicit MemoryIn(Bytes source) : bytes(std::move(source)) {}
    Bytes bytes;
    size_t consumed = 0;
    void Serialize(void* data, unsigned size) override
    {
        if (size > bytes.size() - consumed)
            throw std::runtime_error("read past the end");
        memcpy(data, bytes.data() + consumed, size);
        consumed += size;
    }
};

struct OneString : basekit::KSerializable {
    kstring text;
    void Serialize(basekit::KSerializer& serializer) override { serializer & text; }
};

TEST(KSerializer, StringsCarryTheirLengthWithTheNulAndStopAt2047Characters)
{
    MemoryOut out;
    OneString empty;
    empty.Serialize(out);
    EXPECT_EQ(out.bytes, (Bytes{1, 0, 0, 0, 0})); // length 1, the NUL alone
    for (uint32_t length : {2048u, 2049u}) {
        Bytes wire;
        logtest::Put(wire, length);
        wire.insert(wire.end(), length - 1, 'x');
        wire.push_back(0);
        MemoryIn in(wire);
        OneString target;
        if (length == 2048) {
            target.Serialize(in);
            EXPECT_EQ(target.text, std::string(2047, 'x'));
            continue;
        }
        try {
            target.Serialize(in);
            ADD_FAILURE() << "no exception";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "cannot serialize string bigger than KMAX_STRING_SIZE(2048)");
        }
        EXPECT_EQ(in.consumed, 4u); // rejected before any character is read
    }
}

TEST(KLogFilterWire, WrittenFormMatchesTheLayoutAndReadsBack)
{
    KLogFilter filter;
    filter.OverwriteOption(klsTAVO, 0x6);
    MemoryOut out;
    filter.Serialize(out);
    ASSERT_EQ(out.bytes.size(), 4u + 29 * 9 + 1 + 8 + 8);
    EXPECT_EQ(Bytes(out.bytes.begin(), out.bytes.begin() + 4), (Bytes{29, 0, 0, 0}));
    const size_t tavo = 4 + 18 * 9; // entry of source 18
    EXPECT_EQ(Bytes(out.bytes.begin() + tavo, out.bytes.begin() + tavo + 9),
              (Bytes{6, 0, 0, 0, /*overwritten*/ 1, /*never*/ 0, 0, 0, 0}));
    // Sizes at the end: 100 MiB and 10 GiB, least significant byte first.
    EXPECT_EQ(Bytes(out.bytes.end() - 16, out.bytes.end()),
              (Bytes{0, 0, 0x40, 6, 0, 0, 0, 0, 0, 0, 0, 0x80, 2, 0, 0, 0}));

    MemoryIn in(out.bytes);
    KLogFilter copy;
    copy.Serialize(in);
    EXPECT_EQ(in.consumed, out.bytes.size());
    EXPECT_EQ(copy.OptionMask(klsTAVO), 0x6u);
    EXPECT_TRUE(copy.IsOverwritten(klsTAVO));
    EXPECT_EQ(copy.MaxTotalLogSize(), 10737418240ull);
}

TEST(KLogFilterWire, FewerEntriesLeaveTheRestAtDefaultsAndExtraEntriesAreSkipped)
{
    Bytes frame = logtest::FilterFrame({{0, false, 0xFFFFFFFF}, {5, false, 2}}, true, 2097152, 4096);
    MemoryIn in(Bytes(frame.begin() + 8, frame.end())); // skip frame size and type
    KLogFilter filter;
    filter.OverwriteOption(klsTAVO, 1);
    filter.Serialize(in);
    EXPECT_EQ(filter.NeverMask(klsSystem), 0xFFFFFFFFu);
    EXPECT_EQ(filter.OptionMask(klsSource1), 5u);
    EXPECT_EQ(filter.NeverMask(klsSource1), 2u);
    for (KLogSource source : {klsSource2, klsTAVO, klsSource28}) {
        EXPECT_EQ(filter.OptionMask(source), 0xFFFFFFFFu) << source;
        EXPECT_EQ(filter.NeverMask(source), 0u) << source;
        EXPECT_FALSE(filter.IsOverwritten(source)) << source;
    }
    EXPECT_TRUE(filter.FullLog());
    EXPECT_EQ(filter.MaxLogFileSize(), 2097152u);

    std::vector<logtest::FilterEntry> many(31, logtest::FilterEntry{3, false, 0});
    many[30] = {7, false, 0};
    Bytes big = logtest::FilterFrame(many, false, 1, 2);
    MemoryIn bigIn(Bytes(big.begin() + 8, big.end()));
    filter.Serialize(bigIn);
    EXPECT_EQ(bigIn.consumed, bigIn.bytes.size());
    EXPECT_EQ(filter.OptionMask(klsSource28), 3u);
    EXPECT_EQ(filter.MaxTotalLogSize(), 2u);
}

} // namespace
