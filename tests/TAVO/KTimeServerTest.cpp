// The time server's RFC 868 value; what a board sees of the service and the start codes are
// checked against the running daemon and in the thread lifetimes test.
#include <gtest/gtest.h>

#include "Tools/TAVO/KTimeServer.h"

namespace {

TEST(TimeValue, IsSecondsSince1900InTheHostTimezoneModulo2To32)
{
    const struct {
        long long seconds, offsetWest;
        uint32_t value;
    } cases[] = {
        {0, 0, 0x83AA7E80u}, // 2208988800
        {0, 10800, 0x83AA7E80u - 10800u},
        {0, -3600, 0x83AA7E80u + 3600u},
        {2085978495LL, 0, 0xFFFFFFFFu}, // 2036-02-07, before the wrap
        {2085978496LL, 0, 0u},
    };
    for (const auto& c : cases)
        EXPECT_EQ(KTimeServer::TimeValue(c.seconds, c.offsetWest), c.value) << c.seconds << " " << c.offsetWest;
}

} // namespace
