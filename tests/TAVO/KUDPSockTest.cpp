// The datagram socket: bind failures, return codes, truncation, and descriptors above 1023.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include "Basekit/KException.h"
#include "Tools/TAVO/KUDPSock.h"

namespace {

int OpenDescriptors()
{
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* entry = readdir(dir))
        count += entry->d_name[0] != '.';
    closedir(dir);
    return count;
}

sockaddr_in Loopback(int port)
{
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = inet_addr("127.0.0.1");
    return to;
}

TEST(KUDPSock, AFailedBindRaisesItsMessageAndLeavesNoDescriptor)
{
    KUDPSock taken("127.0.0.1", 14900, true);
    struct {
        const char* address;
        int port;
        const char* message;
    } const cases[] = {
        {"127.0.0.1", 14900, "Failed to bind socket to port 14900, ip 127.0.0.1"}, // port in use
        {"192.0.2.99", 14901, "Failed to bind socket to port 14901, ip 192.0.2.99"}, // not a local address
    };
    for (const auto& c : cases) {
        const int before = OpenDescriptors();
        try {
            KUDPSock socket(c.address, c.port, true);
            ADD_FAILURE() << "bound " << c.address;
        } catch (const basekit::KException& e) {
            EXPECT_STREQ(e.what(), c.message);
            EXPECT_EQ(e.GetFile(), "Tools/TAVO/KUDPSock");
            EXPECT_EQ(e.GetLine(), 33);
        }
        EXPECT_EQ(OpenDescriptors(), before);
    }
}

TEST(KUDPSock, ReceivesWithinCapacityAndTellsTheSender)
{
    KUDPSock receiver("127.0.0.1", 14902, true);
    KUDPSock sender("127.0.0.1", 14903, true);
    unsigned char data[100];
    for (int i = 0; i < 100; ++i)
        data[i] = static_cast<unsigned char>(i);
    sockaddr_in to = Loopback(14902);
    ASSERT_EQ(sender.Send(data, 100, &to), 100);

    unsigned char buffer[10] = {};
    sockaddr_in from {};
    EXPECT_EQ(receiver.Receive(buffer, 10, &from, 2000), 10); // cut to the capacity
    EXPECT_EQ(buffer[9], 9);
    EXPECT_EQ(ntohs(from.sin_port), 14903);
    EXPECT_EQ(from.sin_addr.s_addr, inet_addr("127.0.0.1"));

    ASSERT_EQ(sender.Send(data, 3, &to), 3);
    EXPECT_EQ(receiver.Receive(buffer, 10, &from, -1), 3); // negative timeout: blocks in the receive
    EXPECT_EQ(receiver.Receive(buffer, 10, &from, 20), -1); // nothing more: the timeout passes
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
