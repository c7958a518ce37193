// The BOOTP decision as a table: which datagram gets which reply bytes or drop reason, for a
// fixed board table and two interfaces. No socket, no log, no configuration file. The reply to
// a configured board and to a replacement, and the drops of what strangers and other servers
// send, are the end-to-end BOOTP test's, byte for byte and line for line.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <regex>
#include <set>
#include <vector>

#include "Tools/TAVO/KBOOTPDecision.h"
#include "Tools/TAVO/KCounters.h"

namespace {

using Drop = KBOOTPDecision::Drop;
using Bytes = std::vector<unsigned char>;

const std::string Long127(127, 'f');

config::DevicesTables Boards()
{
    config::DevicesTables d;
    auto add = [&](unsigned int serial, const char* ip, const std::string& firmware = "") {
        KBOOTPMachine m;
        m.IP = ip;
        m.SetNewFirmware = !firmware.empty();
        m.Firmware = firmware;
        d.machines[serial] = m;
    };
    add(0x1234, "192.0.2.50");
    add(0x1235, "192.0.2.51", "fw_v2.bin");
    add(0x1239, "192.0.2.53", Long127);
    add(0x123A, "198.51.100.7");
    d.replacements[0x129A] = 0xFFFF; // names no configured board
    return d;
}

const std::list<KNETInterfaceEx> Interfaces = {{"192.0.2.1", "255.255.255.0", "192.0.2.255"},
                                               {"198.51.100.1", "255.255.255.0", "198.51.100.255"}};

// A request as a board sends it, with every field the reply copies set to something distinct.
Bytes Datagram(unsigned int serial, unsigned char op, const char* siaddr)
{
    Bytes p(240, 0);
    p[0] = op;
    p[1] = 1;
    p[2] = 6;
    p[3] = 2; // hops
    const unsigned char rest[] = {0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x07, 0x80, 0x00, 10, 0, 0, 9, 10, 0, 0, 8};
    std::memcpy(&p[4], rest, sizeof(rest)); // xid, secs, flags, ciaddr, yiaddr
    in_addr_t server = inet_addr(siaddr);
    std::memcpy(&p[20], &server, 4);
    p[24] = 10, p[27] = 1; // giaddr 10.0.0.1
    const unsigned char mac[] = {0x0A, 0x3D, 0x91, static_cast<unsigned char>(serial >> 16),
                                 static_cast<unsigned char>(serial >> 8), static_cast<unsigned char>(serial)};
    std::memcpy(&p[28], mac, 6);
    p[44] = 's';              // sname
    std::memcpy(&p[108], "keep.me", 7);
    const unsigned char cookie[] = {99, 130, 83, 99};
    std::memcpy(&p[236], cookie, 4);
    p.push_back(255);
    return p;
}

struct Case {
    const char* name;
    unsigned int serial;
    unsigned char op;
    bool fromRequestSocket;
    const char* siaddr; // in the datagram
    Drop reason;
    unsigned int replaced;
    // Answered cases: yiaddr, siaddr, subnet mask, file field (nullptr: the request's).
    const char* yiaddr = nullptr;
    const char* server = nullptr;
    const char* mask = nullptr;
    const char* file = nullptr;
};

void ExpectDecision(const Case& c)
{
    SCOPED_TRACE(c.name);
    const Bytes request = Datagram(c.serial, c.op, c.siaddr);
    KBOOTPDecision::Request in;
    ASSERT_TRUE(in.Packet.Read(request.data(), request.size()));
    in.FromRequestSocket = c.fromRequestSocket;
    const KBOOTPDecision out = KBOOTPDecision::Decide(in, Boards(), Interfaces);
    EXPECT_STREQ(KBOOTPDecision::Name(out.Reason), KBOOTPDecision::Name(c.reason));
    EXPECT_EQ(out.Replaced, c.replaced);
    if (c.reason != Drop::None)
        return;

    // The request's first 236 bytes with the fields the server fills in, then the cookie,
    // option 1 (subnet mask) and the end option.
    Bytes expected(request.begin(), request.begin() + 240);
    expected[0] = 2;
    std::fill(&expected[12], &expected[16], 0);
    in_addr_t yiaddr = inet_addr(c.yiaddr), server = inet_addr(c.server), mask = inet_addr(c.mask);
    std::memcpy(&expected[16], &yiaddr, 4);
    std::memcpy(&expected[20], &server, 4);
    std::fill(&expected[44], &expected[108], 0);
    if (c.file) {
        std::fill(&expected[108], &expected[236], 0);
        std::memcpy(&expected[108], c.file, std::strlen(c.file));
    }
    expected.insert(expected.end(), {1, 4});
    expected.insert(expected.end(), reinterpret_cast<unsigned char*>(&mask), reinterpret_cast<unsigned char*>(&mask) + 4);
    expected.push_back(255);
    ASSERT_EQ(expected.size(), 247u);
    EXPECT_EQ(Bytes(out.Reply.begin(), out.Reply.end()), expected);
    EXPECT_EQ(out.Interface.Address, c.server);
}

const char* const Net1 = "192.0.2.1";
const char* const Mask = "255.255.255.0";

TEST(Decision, ReplyOrReason)
{
    const Case cases[] = {
        {"new firmware", 0x1235, 1, true, "0.0.0.0", Drop::None, 0, "192.0.2.51", Net1, Mask, "fw_v2.bin"},
        {"127-character name fills the field", 0x1239, 1, true, "0.0.0.0", Drop::None, 0, "192.0.2.53", Net1, Mask,
         Long127.c_str()},
        {"second network", 0x123A, 1, true, "0.0.0.0", Drop::None, 0, "198.51.100.7", "198.51.100.1", Mask, nullptr},
        {"replacement of nothing", 0x129A, 1, true, "0.0.0.0", Drop::ReplacedBoardMissing, 0},
        {"our own reply on the second network", 0x1234, 2, false, "198.51.100.1", Drop::OwnReply, 0}};
    for (const Case& c : cases)
        ExpectDecision(c);
}

// Every reason, one added later included (Name knows it first), has a counter named after it;
// no two counters share a name.
TEST(Decision, EveryDropReasonHasACounterOfItsOwn)
{
    std::set<std::string> names;
    for (const auto& counter : KCounters::Process().Snapshot()) {
        EXPECT_TRUE(names.insert(counter.first).second) << counter.first;
        EXPECT_TRUE(std::regex_match(counter.first, std::regex("[a-z0-9]+(-[a-z0-9]+)+"))) << counter.first;
    }
    unsigned reason = 1;
    for (; std::string(KBOOTPDecision::Name(Drop(reason))) != "unknown"; ++reason) {
        const std::string name = KCounters::Name(KCounters::Dropped(Drop(reason)));
        EXPECT_EQ(name, std::string("bootp-dropped-") + KBOOTPDecision::Name(Drop(reason)));
        EXPECT_EQ(names.count(name), 1u) << name;
    }
    EXPECT_EQ(reason - 1, KCounters::DropReasons);
}

} // namespace
