// The datagram socket on descriptors above 1023 (sending, receiving and a failed bind are left
// to the daemon's end-to-end tests and the BOOTP server test).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/resource.h>
#include <unistd.h>

#include "Tools/TAVO/KUDPSock.h"

namespace {

sockaddr_in Loopback(int port)
{
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = inet_addr("127.0.0.1");
    return to;
}

TEST(KUDPSock, WaitsOnDescriptorsAboveTheDefaultSetSize)
{
    rlimit limit {};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_max < 2048)
        GTEST_SKIP() << "descriptor limit " << limit.rlim_max;
    limit.rlim_cur = 2048;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);

    KUDPSock receiver("127.0.0.1", 14904, true);
    ASSERT_EQ(dup2(receiver.Socket, 1500), 1500);
    close(receiver.Socket);
    receiver.Socket = 1500;

    unsigned char buffer[16];
    sockaddr_in from {};
    EXPECT_EQ(receiver.Receive(buffer, sizeof(buffer), &from, 20), -1);
    KUDPSock sender("127.0.0.1", 0, true);
    sockaddr_in to = Loopback(14904);
    const unsigned char data[4] = {1, 2, 3, 4};
    ASSERT_EQ(sender.Send(data, 4, &to), 4);
    EXPECT_EQ(receiver.Receive(buffer, sizeof(buffer), &from, 2000), 4);
}

} // namespace
