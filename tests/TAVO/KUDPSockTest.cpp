// The datagram socket: bind failures and descriptors above 1023 (sending and receiving are
// left to the daemon's end-to-end tests).
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
