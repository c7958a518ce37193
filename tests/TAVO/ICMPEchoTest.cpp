// The address probe's reply check and failures; an answered and an unanswered probe (and with
// them the checksum of the request, which the board's kernel verifies) are left to the daemon's
// end-to-end BOOTP tests.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "Tools/TAVO/ICMPEcho.h"

namespace {

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

TEST(AddressProbe, AnUnusableProbeGivesOne)
{
    EXPECT_EQ(basekit::WaitForICMPEcho("not an address", 500), 1u);
    EXPECT_EQ(basekit::WaitForICMPEcho("198.51.100.1", 500), 1u); // no route in this namespace

    // Without the right to open raw sockets.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setuid(65534) != 0)
            _exit(100);
        _exit(static_cast<int>(basekit::WaitForICMPEcho("127.0.0.1", 500)));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
}

} // namespace
