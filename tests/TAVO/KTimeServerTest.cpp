// The time server's RFC 868 value; what a board sees of the service and the start codes are
// checked against the running daemon and in the thread lifetimes test.
#include <gtest/gtest.h>

#include "Tools/TAVO/KTimeServer.h"
#include "tests/TAVO/TAVOTestKit.h"

using namespace tavotest;

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

} // namespace
