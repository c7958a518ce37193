// The Internet checksum (RFC 1071) and the address probe's reply check and failures; an answered
// and an unanswered probe are left to the daemon's end-to-end BOOTP tests.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "Tools/TAVO/ICMPEcho.h"

namespace {

// The checksum as it lands in a header: its two bytes in memory order.
std::vector<unsigned char> ChecksumBytes(std::vector<unsigned char> data)
{
    std::vector<unsigned short> words((data.size() + 1) / 2 + 1, 0);
    if (!data.empty())
        std::memcpy(words.data(), data.data(), data.size());
    unsigned short sum = static_cast<unsigned short>(in_cksum(words.data(), static_cast<int>(data.size())));
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&sum);
    return {bytes[0], bytes[1]};
}

TEST(InternetChecksum, MatchesKnownVectors)
{
    struct {
        std::vector<unsigned char> data;
        std::vector<unsigned char> checksum; // in header (network) byte order
    } const cases[] = {
        // RFC 1071 section 3: 00 01 f2 03 f4 f5 f6 f7 sums to dd f2, checksum 22 0d.
        {{0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7}, {0x22, 0x0d}},
        // Echo request header, type 8, rest zero: sum 08 00, checksum f7 ff.
        {{0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, {0xf7, 0xff}},
        // Carries folded back in: ff ff + ff ff = 1 ff fe -> ff ff, checksum 00 00.
        {{0xff, 0xff, 0xff, 0xff}, {0x00, 0x00}},
        // 00 01 02 -> 00 01 + 02 00 = 02 01, checksum fd fe.
        {{0x00, 0x01, 0x02}, {0xfd, 0xfe}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ChecksumBytes(c.data), c.checksum);
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
