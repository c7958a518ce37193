// Interface discovery in the test's own network namespace and the address watch's reading of
// netlink messages (a restart on an address change and the stop are proven by the daemon's
// end-to-end tests).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Tools/TAVO/KNETInterface.h"
#include "tests/TAVO/TAVOTestKit.h"

namespace {

using tavotest::Sh;

std::vector<std::string> Found(const std::list<kstring>& filter)
{
    std::list<KNETInterfaceEx> out;
    out.push_back({"stale", "stale", "stale"}); // cleared first
    EXPECT_EQ(KNETInterface::FindInterfaces(filter, out), 0);
    std::vector<std::string> text;
    for (const KNETInterfaceEx& i : out)
        text.push_back(i.Address + "/" + i.NetMask + "/" + i.BroadCast);
    std::sort(text.begin(), text.end());
    return text;
}

class Interfaces : public ::testing::Test {
protected:
    void SetUp() override
    {
        // A broadcast link that is up, its peer down with an address, a point-to-point tun
        // device, and a link with IPv6 only. Loopback is up with 127.0.0.1.
        ASSERT_EQ(Sh("ip link add tva0 type veth peer name tva1"), 0);
        ASSERT_EQ(Sh("ip addr add 192.0.2.1/24 brd + dev tva0 && ip link set tva0 up"), 0);
        ASSERT_EQ(Sh("ip addr add 192.0.2.10/24 brd + dev tva1"), 0);
        ASSERT_EQ(Sh("ip tuntap add dev tvt0 mode tun && ip addr add 198.51.100.5 peer 198.51.100.6 dev tvt0 && "
                     "ip link set tvt0 up"),
                  0);
        ASSERT_EQ(Sh("ip link add tvc0 type veth peer name tvc1 && ip -6 addr add 2001:db8::1/64 dev tvc0 && "
                     "ip link set tvc0 up"),
                  0);
    }
};

TEST_F(Interfaces, FilterEntriesMatchWholeAddressTexts)
{
    struct {
        std::list<kstring> filter;
        std::vector<std::string> found;
    } const cases[] = {
        // no filter: every broadcast-capable IPv4 address, up or not
        {{}, {"192.0.2.1/255.255.255.0/192.0.2.255", "192.0.2.10/255.255.255.0/192.0.2.255"}},
        {{"192.0.2.1"}, {"192.0.2.1/255.255.255.0/192.0.2.255"}}, // not 192.0.2.10
        {{" 192.0.2.1"}, {}},
        {{""}, {}}, // an empty entry never matches
        {{"127.0.0.1", "198.51.100.5"}, {}}, // loopback and point-to-point stay out
        {{"192.0.2.10", "", "192.0.2.1"},
         {"192.0.2.1/255.255.255.0/192.0.2.255", "192.0.2.10/255.255.255.0/192.0.2.255"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Found(c.filter), c.found);
}

TEST_F(Interfaces, AddressWithoutBroadcastGetsItsSubnetBroadcast)
{
    // "ip addr add" without "brd +" reports the address itself as broadcast.
    ASSERT_EQ(Sh("ip addr add 198.51.100.1/25 dev tva0"), 0);
    EXPECT_EQ(Found({"198.51.100.1"}), (std::vector<std::string> {"198.51.100.1/255.255.255.128/198.51.100.127"}));
}

class RecordingRestarter : public KNetAddRestarter {
public:
    void Restart() override { ++Calls; }
    int Calls = 0;
};

// One netlink message: 16-byte header (length, type, flags, sequence, port id) and a payload
// whose first byte is the address family.
std::vector<unsigned char> Message(uint16_t type, uint8_t family, uint32_t length = 24)
{
    std::vector<unsigned char> bytes(std::max<uint32_t>(length, 16), 0);
    nlmsghdr header {};
    header.nlmsg_len = length;
    header.nlmsg_type = type;
    std::memcpy(bytes.data(), &header, sizeof(header));
    if (bytes.size() > 16)
        bytes[16] = family;
    return bytes;
}

std::vector<unsigned char> Cut(std::vector<unsigned char> bytes, size_t size)
{
    bytes.resize(size);
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
        {"new IPv4", Message(RTM_NEWADDR, AF_INET), 1},
        {"deleted IPv4", Message(RTM_DELADDR, AF_INET), 1},
        {"two in one datagram", Join({Message(RTM_NEWADDR, AF_INET), Message(RTM_NEWADDR, AF_INET)}), 2},
        {"IPv6", Message(RTM_NEWADDR, AF_INET6), 0},
        {"link message", Message(RTM_NEWLINK, AF_INET), 0},
        {"done between", Join({Message(NLMSG_DONE, AF_INET), Message(RTM_DELADDR, AF_INET)}), 1},
        // A length of 17 is padded to 20 before the next message.
        {"unaligned length", Join({Message(RTM_NEWADDR, AF_INET, 17), {0, 0, 0}, Message(RTM_NEWADDR, AF_INET)}), 2},
        {"length beyond the datagram", Cut(Message(RTM_NEWADDR, AF_INET, 64), 24), 0},
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

} // namespace
