// The network layer: the address watch's reading of netlink messages, the broadcast address of
// an address added without one, the datagram socket on descriptors above 1023, and the address
// probe's reply check. The rest of interface discovery, a restart on an address
// change, sending and receiving, and an answered and an unanswered probe (with the checksum the
// board's kernel verifies) are proven by the daemon's end-to-end tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Tools/TAVO/ICMPEcho.h"
#include "Tools/TAVO/KNETInterface.h"
#include "Tools/TAVO/KUDPSock.h"
#include "tests/TAVO/TAVOTestKit.h"

namespace {

// An address added without "brd +" is reported with itself as broadcast: the subnet's is used.
TEST(Interfaces, AnAddressWithoutBroadcastGetsItsSubnetBroadcast)
{
    ASSERT_EQ(tavotest::Sh("ip link add tva0 type veth peer name tva1 && ip addr add 198.51.100.1/25 dev tva0"), 0);
    std::list<KNETInterfaceEx> found;
    ASSERT_EQ(KNETInterface::FindInterfaces({"192.0.2.9", "198.51.100.1"}, found), 0);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found.front().BroadCast, "198.51.100.127");
}

class RecordingRestarter : public KNetAddRestarter {
public:
    void Restart() override { ++Calls; }
    int Calls = 0;
};

// One netlink message: 16-byte header (length, type, flags, sequence, port id) and a payload
// whose first byte is the address family; size bytes of it when given.
std::vector<unsigned char> Message(uint16_t type, uint8_t family, uint32_t length = 24, uint32_t size = 0)
{
    std::vector<unsigned char> bytes(std::max<uint32_t>(size ? size : length, 16), 0);
    nlmsghdr header {};
    header.nlmsg_len = length;
    header.nlmsg_type = type;
    std::memcpy(bytes.data(), &header, sizeof(header));
    if (bytes.size() > 16)
        bytes[16] = family;
    return bytes;
}

std::vector<unsigned char> Join(std::initializer_list<std::vector<unsigned char>> parts)
{
    std::vector<unsigned char> out;
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

TEST(NetlinkMessages, OnlyIPv4AddressMessagesRestart)
{
    struct {
        const char* what;
        std::vector<unsigned char> datagram;
        unsigned int restarts;
    } const cases[] = {
        {"deleted IPv4", Message(RTM_DELADDR, AF_INET), 1},
        {"two in one datagram", Join({Message(RTM_NEWADDR, AF_INET), Message(RTM_NEWADDR, AF_INET)}), 2},
        {"IPv6", Message(RTM_NEWADDR, AF_INET6), 0},
        {"link message", Message(RTM_NEWLINK, AF_INET), 0},
        {"done between", Join({Message(NLMSG_DONE, AF_INET), Message(RTM_DELADDR, AF_INET)}), 1},
        // A length of 17 is padded to 20 before the next message.
        {"unaligned length", Join({Message(RTM_NEWADDR, AF_INET, 17), {0, 0, 0}, Message(RTM_NEWADDR, AF_INET)}), 2},
        {"length beyond the datagram", Message(RTM_NEWADDR, AF_INET, 64, 24), 0},
        {"walk ends at a bad length", Join({Message(RTM_NEWADDR, AF_INET), Message(RTM_NEWADDR, AF_INET, 8),
                                            Message(RTM_NEWADDR, AF_INET)}), 1},
        {"header only", Message(RTM_NEWADDR, AF_INET, 16), 0},
        {"short datagram", std::vector<unsigned char>(15, 0), 0},
    };
    for (const auto& c : cases) {
        RecordingRestarter restarter;
        EXPECT_EQ(KNETInterface::DispatchAddressMessages(c.datagram.data(), c.datagram.size(), &restarter),
                  c.restarts)
            << c.what;
        EXPECT_EQ(restarter.Calls, static_cast<int>(c.restarts)) << c.what;
    }
}

// The receive modes every server loop and transfer relies on, on a descriptor above the C
// library's select limit (a busy server gets such numbers): a poll and a bounded wait both
// report a time-out on silence, a datagram is taken in each mode, and a connected socket
// answers its peer without a destination.
TEST(KUDPSock, ReceivesInEveryWaitModeAndAnswersTheConnectedPeer)
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
    KUDPSock sender("127.0.0.1", 0, true);
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(14904);
    to.sin_addr.s_addr = inet_addr("127.0.0.1");
    ASSERT_TRUE(sender.Connect(to));

    unsigned char buffer[16];
    for (int timeoutMs : {0, 20, -1, 2000, 0}) {
        sockaddr_in from {};
        if (timeoutMs >= 0) {
            EXPECT_EQ(receiver.Receive(buffer, sizeof(buffer), &from, timeoutMs), -1) << timeoutMs;
        }
        const unsigned char data[4] = {1, 2, 3, static_cast<unsigned char>(timeoutMs)};
        ASSERT_EQ(sender.Send(data, 4, nullptr), 4);
        // Loopback delivers within the send, so even a poll finds the datagram.
        ASSERT_EQ(receiver.Receive(buffer, sizeof(buffer), &from, timeoutMs), 4) << timeoutMs;
        EXPECT_EQ(buffer[3], data[3]);
        ASSERT_EQ(receiver.Send(buffer, 4, &from), 4);
        EXPECT_EQ(sender.Receive(buffer, sizeof(buffer), nullptr, 2000), 4);
    }
}

// An echo reply as a raw socket reads it: IPv4 header (ihl words, no further checks), then
// type, code, checksum (not checked), identifier, sequence and the first payload word.
std::vector<unsigned char> Reply(uint8_t ihl, uint8_t type, uint16_t identifier, uint16_t sequence, uint32_t value)
{
    std::vector<unsigned char> packet(ihl * 4u, 0);
    packet[0] = static_cast<unsigned char>(0x40 | ihl);
    packet.insert(packet.end(), {type, 0, 0x12, 0x34, static_cast<unsigned char>(identifier >> 8),
                                 static_cast<unsigned char>(identifier), static_cast<unsigned char>(sequence >> 8),
                                 static_cast<unsigned char>(sequence)});
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&value); // sent in host order
    packet.insert(packet.end(), bytes, bytes + 4);
    packet.resize(packet.size() + 16, 0);
    return packet;
}

TEST(AddressProbe, OnlyTheProbedHostsReplyWithOurRandomFieldsCounts)
{
    const uint32_t board = inet_addr("192.0.2.50");
    const basekit::KEchoProbe probe = {board, 0xbeef, 0x1234, 0xa1b2c3d4};
    struct {
        const char* what;
        std::vector<unsigned char> datagram;
        uint32_t sender;
        bool ours;
        size_t keep; // bytes of the datagram received; 0: all
    } const cases[] = {
        {"the reply", Reply(5, 0, 0xbeef, 0x1234, 0xa1b2c3d4), board, true, 0},
        {"after IP options", Reply(6, 0, 0xbeef, 0x1234, 0xa1b2c3d4), board, true, 0},
        {"another sender", Reply(5, 0, 0xbeef, 0x1234, 0xa1b2c3d4), inet_addr("192.0.2.51"), false, 0},
        // A forger who only knows the address and guesses the rest:
        {"identifier 0", Reply(5, 0, 0, 0x1234, 0xa1b2c3d4), board, false, 0},
        {"other sequence", Reply(5, 0, 0xbeef, 0x1235, 0xa1b2c3d4), board, false, 0},
        {"other payload", Reply(5, 0, 0xbeef, 0x1234, 0xa1b2c3d5), board, false, 0},
        // Our own request, seen when the probed address is local.
        {"echo request", Reply(5, 8, 0xbeef, 0x1234, 0xa1b2c3d4), board, false, 0},
        {"header length below 20", Reply(4, 0, 0xbeef, 0x1234, 0xa1b2c3d4), board, false, 0},
        {"cut inside the payload word", Reply(5, 0, 0xbeef, 0x1234, 0xa1b2c3d4), board, false, 20 + 8 + 3},
    };
    for (const auto& c : cases) {
        size_t size = c.keep ? c.keep : c.datagram.size();
        EXPECT_EQ(basekit::IsEchoReplyTo(probe, c.datagram.data(), size, c.sender), c.ours) << c.what;
    }
}

} // namespace
