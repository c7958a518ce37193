// The time server: the RFC 868 value, and who gets an answer.
#include <gtest/gtest.h>
#include <sys/time.h>

#include "Tools/TAVO/KConfig.h"
#include "Tools/TAVO/KTimeServer.h"
#include "Tools/TAVO/TAVODevs.h"
#include "tests/TAVO/FilesTestKit.h"

using namespace filestest;

namespace {

struct ValueCase {
    const char* name;
    long long seconds, offsetWest;
    uint32_t value;
    friend void PrintTo(const ValueCase& c, std::ostream* os) { *os << c.name; }
};

class TimeValue : public ::testing::TestWithParam<ValueCase> {};

TEST_P(TimeValue, IsSecondsSince1900InTheHostTimezoneModulo2To32)
{
    EXPECT_EQ(KTimeServer::TimeValue(GetParam().seconds, GetParam().offsetWest), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(Clock, TimeValue,
                         ::testing::Values(ValueCase{"epoch", 0, 0, 0x83AA7E80u}, // 2208988800
                                           ValueCase{"west_3h", 0, 10800, 0x83AA7E80u - 10800u},
                                           ValueCase{"east_1h", 0, -3600, 0x83AA7E80u + 3600u},
                                           ValueCase{"before_wrap", 2085978495LL, 0, 0xFFFFFFFFu}, // 2036-02-07
                                           ValueCase{"wrap", 2085978496LL, 0, 0u}),
                         CaseName());

const std::string Host = "192.0.2.1";

class TimeServer : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        WriteConfig("devices", "Devices:\n  - 1050:\n      Type: NDX\n      IP: 192.0.2.50\n");
        config::KConfig<config::TAVODevs, 0>::instance(true);
        for (const char* address : {"192.0.2.1/32", "192.0.2.50/32", "192.0.2.200/32"})
            AddAddress(address);
        ASSERT_EQ(Server.Start({KNETInterfaceEx{Host, "255.255.255.0", "192.0.2.255"}}, 37), 0);
        RawClient board("192.0.2.50");
        ASSERT_TRUE(Ask(board, Host, 37, std::string(4, '\0'))); // listening: single datagrams are heard
    }
    static void TearDownTestSuite() { Server.WaitTermination(); }
    // The value a board should get now, from the test's own reading of the clock.
    static long long Now()
    {
        timeval now{};
        struct timezone zone{};
        gettimeofday(&now, &zone);
        return (now.tv_sec + 2208988800LL - zone.tz_minuteswest * 60LL) & 0xFFFFFFFFLL;
    }
    static inline KTimeServer Server;
};

TEST_F(TimeServer, ConfiguredBoardGetsFourBigEndianBytesAtItsOwnPort)
{
    RawClient board("192.0.2.50", 40037);
    const long long before = Now();
    std::optional<Datagram> answer = Ask(board, Host, 37, std::string(4, '\0'));
    const long long after = Now();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->Port, 37);
    ASSERT_EQ(answer->Bytes.size(), 4u);
    long long value = 0;
    for (unsigned char byte : answer->Bytes)
        value = value << 8 | byte;
    EXPECT_GE(value, before);
    EXPECT_LE(value, after);
}

TEST_F(TimeServer, WrongSizesAndUnknownSendersGetNothing)
{
    RawClient board("192.0.2.50"), stranger("192.0.2.200"), probe("192.0.2.50");
    board.SendTo(Host, 37, "");
    board.SendTo(Host, 37, std::string(5, '\0'));
    stranger.SendTo(Host, 37, std::string(4, '\0'));
    // One thread answers in arrival order: once the probe has its answer, the rest was handled.
    probe.SendTo(Host, 37, std::string(4, '\0'));
    ASSERT_TRUE(probe.Receive());
    EXPECT_FALSE(board.Receive(0));
    EXPECT_FALSE(stranger.Receive(0));
}

TEST_F(TimeServer, StartsOnlyOnceAndNeverWithoutInterfaces)
{
    EXPECT_EQ(Server.Start({KNETInterfaceEx{Host, "255.255.255.0", "192.0.2.255"}}, 3737), 1);
    KTimeServer idle;
    EXPECT_EQ(idle.Start({}, 3737), 5);
    EXPECT_EQ(idle.Stop(), 1);
}

} // namespace
