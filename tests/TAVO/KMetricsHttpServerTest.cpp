// The metrics listener's ports, which no end-to-end case reaches: a port in use is an Error
// (never shared, as SO_REUSEPORT would), another port replaces the listener, 0 and Stop end it.
#include <gtest/gtest.h>

#include <httplib.h>

#include "Tools/TAVO/KMetricsHttpServer.h"
#include "tests/TAVO/TAVOTestKit.h"

namespace {

KLogger Logger(klsTAVO, kloTavoGeneral, "General", "tavo", 0x10, false);

int Status(unsigned port) // of GET /metrics; -1 when nothing answers
{
    httplib::Client client(KMetricsHttpServer::Address, static_cast<int>(port));
    const httplib::Result result = client.Get(KMetricsHttpServer::Path);
    return result ? result->status : -1;
}

TEST(KMetricsHttpServer, HoldsItsPortAloneAndMovesOrStopsOnRequest)
{
    tavotest::LogWatch log;
    KMetricsHttpServer first(Logger, [] { return std::string("up 1\n"); }), second(Logger, [] { return std::string(); });
    ASSERT_TRUE(first.Start(9712));
    EXPECT_FALSE(second.Start(9712));
    EXPECT_TRUE(log.WaitFor("Metrics over HTTP unavailable: cannot listen on 127.0.0.1:9712: Address already in use"));
    ASSERT_TRUE(first.Start(9713));
    ASSERT_TRUE(second.Start(9712));
    EXPECT_EQ(std::make_pair(Status(9712), Status(9713)), std::make_pair(200, 200));
    first.Start(0);
    second.Stop();
    second.Stop();
    EXPECT_EQ(std::make_pair(Status(9712), Status(9713)), std::make_pair(-1, -1));
}

} // namespace
