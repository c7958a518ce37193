// The time server: the RFC 868 value and who gets an answer.
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
    long long seconds; // since 1970
    long long offset;  // seconds west of Greenwich
    uint32_t value;
    friend void PrintTo(const ValueCase& c, std::ostream* os) { *os << c.name; }
};

class TimeValue : public ::testing::TestWithParam<ValueCase> {};

TEST_P(TimeValue, IsSecondsSince1900InTheHostTimezone)
{
    EXPECT_EQ(KTimeServer::TimeValue(GetParam().seconds, GetParam().offset), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Clock, TimeValue,
    ::testing::Values(ValueCase{"epoch", 0, 0, 0x83AA7E80u},                    // 2208988800
                      ValueCase{"three_hours_west", 0, 10800, 0x83AA7E80u - 10800u},
                      ValueCase{"one_hour_east", 0, -3600, 0x83AA7E80u + 3600u},
                      ValueCase{"last_second_before_wrap", 2085978495LL, 0, 0xFFFFFFFFu}, // 2036-02-07
                      ValueCase{"wraps_in_2036", 2085978496LL, 0, 0u}),
    CaseName());

const std::string Host = "192.0.2.1";
const uint16_t TimePort = 37;

class TimeServer : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        WriteConfig("devices", "Devices:\n  - 1050:\n      Type: NDX\n      IP: 192.0.2.50\n");
        config::KConfig<config::TAVODevs, 0>::instance(true);
        for (const char* address : {"192.0.2.1/32", "192.0.2.50/32", "192.0.2.200/32"})
            AddAddress(address);
        Server = new KTimeServer;
        ASSERT_EQ(Server->Start({KNETInterfaceEx{Host, "255.255.255.0", "192.0.2.255"}}, TimePort), 0);
    }
    static void TearDownTestSuite()
    {
        Server->WaitTermination();
        delete Server;
    }
    // What the board should get now, from the test's own reading of the clock.
    static long long Expected()
    {
        timeval now{};
        struct timezone zone{};
        gettimeofday(&now, &zone);
        return (now.tv_sec + 2208988800LL - zone.tz_minuteswest * 60LL) & 0xFFFFFFFFLL;
    }

    static KTimeServer* Server;
};

KTimeServer* TimeServer::Server = nullptr;

TEST_F(TimeServer, ConfiguredBoardGetsFourBigEndianBytesAtItsOwnPort)
{
    RawClient board("192.0.2.50", 40037);
    const long long before = Expected();
    board.SendTo(Host, TimePort, std::string(4, '\0'));
    std::optional<Datagram> answer = board.Receive(5000);
    const long long after = Expected();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->Port, TimePort);
    ASSERT_EQ(answer->Bytes.size(), 4u);
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(answer->Bytes.data());
    const long long value = static_cast<long long>(bytes[0]) << 24 | bytes[1] << 16 | bytes[2] << 8 | bytes[3];
    EXPECT_GE(value, before);
    EXPECT_LE(value, after);
}

TEST_F(TimeServer, WrongSizesAndUnknownSendersGetNothing)
{
    RawClient board("192.0.2.50"), stranger("192.0.2.200"), probe("192.0.2.50");
    board.SendTo(Host, TimePort, "");
    board.SendTo(Host, TimePort, std::string(5, '\0'));
    stranger.SendTo(Host, TimePort, std::string(4, '\0'));
    // One thread answers in order: once the probe has its answer, the others were handled.
    probe.SendTo(Host, TimePort, std::string(4, '\0'));
    ASSERT_TRUE(probe.Receive(5000));
    EXPECT_FALSE(board.Receive(0));
    EXPECT_FALSE(stranger.Receive(0));
}

TEST_F(TimeServer, StartStopContract)
{
    EXPECT_EQ(Server->Start({KNETInterfaceEx{Host, "255.255.255.0", "192.0.2.255"}}, 3737), 1);
    KTimeServer idle;
    EXPECT_EQ(idle.Start({}, 3737), 5);
    EXPECT_EQ(idle.Stop(), 1);
}

} // namespace
