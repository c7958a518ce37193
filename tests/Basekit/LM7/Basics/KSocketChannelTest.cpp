// Socket message channel: exact frame bytes, string rules, the filter's wire form and the
// behaviour of a channel whose peer closes or whose owner terminates it.
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <stdexcept>

#include <gtest/gtest.h>

#include "Basekit/KLogMessage.h"
#include "Basekit/KReloadMessage.h"
#include "Basekit/LM7/Basics/KClientSocket.h"
#include "Basekit/LM7/Basics/KInSerializer.h"
#include "Basekit/LM7/Basics/KOutSerializer.h"
#include "Basekit/LM7/Basics/KSocketException.h"
#include "Basekit/LM7/Basics/KSocketIpcChannel.h"
#include "tests/Basekit/LogTestSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;
const uint16_t Port = 15001;

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

struct Connected {
    logtest::TestLogServer server{Port};
    std::unique_ptr<basekit::KSocketIpcChannel> channel;
    Connected()
    {
        channel.reset(new basekit::KSocketIpcChannel(
            std::unique_ptr<basekit::KClientSocket>(new basekit::KClientSocket("127.0.0.1", Port))));
        if (server.Accept(3000) < 0)
            throw std::runtime_error("no connection");
    }
};

struct SendCase {
    const char* name;
    std::function<void(basekit::KSocketIpcChannel&)> send;
    Bytes expected;
    friend void PrintTo(const SendCase& c, std::ostream* os) { *os << c.name; }
};

class FrameBytes : public ::testing::TestWithParam<SendCase> {};

TEST_P(FrameBytes, AreExactlyTheTypedBytes)
{
    Connected link;
    GetParam().send(*link.channel);
    Bytes got;
    ASSERT_TRUE(link.server.Read(got, GetParam().expected.size(), 3000));
    EXPECT_EQ(got, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, FrameBytes,
    ::testing::Values(
        SendCase{"LogMessage",
                 [](basekit::KSocketIpcChannel& c) { c.Send(basekit::KLogMessage("tavo", "abc")); },
                 {17, 0, 0, 0,                   // frame size 4 + 5 + 4 + 4
                  5, 0, 0, 0, 't', 'a', 'v', 'o', 0, // writer name, length incl. NUL
                  4, 0, 0, 0, 'a', 'b', 'c', 0}},    // text
        SendCase{"ReloadConfiguration", [](basekit::KSocketIpcChannel& c) { c.Send(KReloadMessage(1)); },
                 {4, 0, 0, 0, // frame size
                  1, 0, 0, 0}},  // type 1
        SendCase{"EmptyString",
                 [](basekit::KSocketIpcChannel& c) {
                     OneString empty;
                     c.Send(empty);
                 },
                 {5, 0, 0, 0, // frame size
                  1, 0, 0, 0, 0}}), // length 1, the NUL alone
    [](const ::testing::TestParamInfo<SendCase>& param) { return std::string(param.param.name); });

TEST(KSerializer, StringLongerThan2048IsRejectedBeforeAnyCharacterIsRead)
{
    Bytes wire;
    logtest::Put32(wire, 2049);
    wire.insert(wire.end(), 2049, 'x');
    MemoryIn in(wire);
    OneString target;
    try {
        target.Serialize(in);
        FAIL() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "cannot serialize string bigger than KMAX_STRING_SIZE(2048)");
    }
    EXPECT_EQ(in.consumed, 4u);
}

TEST(KSerializer, StringOf2047CharactersIsAccepted)
{
    Bytes wire;
    logtest::Put32(wire, 2048);
    wire.insert(wire.end(), 2047, 'x');
    wire.push_back(0);
    MemoryIn in(wire);
    OneString target;
    target.Serialize(in);
    EXPECT_EQ(target.text, std::string(2047, 'x'));
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

TEST(KReloadMessage, FilterOfAnotherTypeIsRefused)
{
    KReloadMessage message(1);
    try {
        message.GetLogFilter();
        FAIL() << "no exception";
    } catch (const KBaseException& error) {
        EXPECT_STREQ(error.what(), "GetLogFilter: Invalid type here.");
    }
}

TEST(KSocketIpcChannel, ReceivesAFilterFrame)
{
    Connected link;
    link.server.Send(logtest::FilterFrame({{1, false, 0}, {2, true, 0}}, false, 10, 20));
    KReloadMessage message;
    ASSERT_TRUE(link.channel->Receive(message));
    EXPECT_EQ(message.GetType(), 2);
    EXPECT_EQ(message.GetLogFilter().OptionMask(klsSource1), 2u);
    EXPECT_TRUE(message.GetLogFilter().IsOverwritten(klsSource1));
}

TEST(KSocketIpcChannel, PeerClosingMidFrameRaisesClosedException)
{
    Connected link;
    Bytes frame = logtest::FilterFrame({{1, false, 0}}, false, 10, 20);
    frame.resize(frame.size() / 2);
    link.server.Send(frame);
    link.server.CloseConnection();
    KReloadMessage message;
    EXPECT_THROW(link.channel->Receive(message), basekit::KSocketClosedException);
}

TEST(KSocketIpcChannel, TerminateEndsABlockedReceive)
{
    Connected link;
    auto receive = std::async(std::launch::async, [&] {
        KReloadMessage message;
        return link.channel->Receive(message);
    });
    link.channel->Terminate();
    ASSERT_EQ(receive.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_FALSE(receive.get());
}

TEST(KClientSocket, RefusedConnectionRaisesSocketException)
{
    EXPECT_THROW(basekit::KClientSocket("127.0.0.1", Port + 1), basekit::KSocketException);
}

} // namespace
