// The Internet checksum (RFC 1071) and the address probe, inside the test's own network namespace.
#include <gtest/gtest.h>

#include <cstring>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "Tools/TAVO/ICMPEcho.h"
#include "tests/TAVO/BOOTPTestKit.h"

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
        // An odd byte is padded with a zero byte: 01 -> 01 00, checksum fe ff.
        {{0x01}, {0xfe, 0xff}},
        // 00 01 02 -> 00 01 + 02 00 = 02 01, checksum fd fe.
        {{0x00, 0x01, 0x02}, {0xfd, 0xfe}},
        // Nothing: checksum ff ff.
        {{}, {0xff, 0xff}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ChecksumBytes(c.data), c.checksum);
}

TEST(InternetChecksum, AMessageWithItsChecksumSumsToZero)
{
    std::vector<unsigned char> message = {0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
                                          0x00, 0x00, 0xc0, 0xa8, 0x00, 0x01, 0xc0, 0xa8, 0x00, 0xc7};
    std::vector<unsigned char> sum = ChecksumBytes(message);
    EXPECT_EQ(sum, (std::vector<unsigned char> {0xb8, 0x61})); // the classic IPv4 header example
    message[10] = sum[0];
    message[11] = sum[1];
    EXPECT_EQ(ChecksumBytes(message), (std::vector<unsigned char> {0x00, 0x00}));
}

TEST(AddressProbe, AnAnsweringAddressGivesZero)
{
    EXPECT_EQ(basekit::WaitForICMPEcho("127.0.0.1", 500), 0u);
}

TEST(AddressProbe, ASilentAddressGivesTwo)
{
    // A subnet on a veth pair whose other addresses nobody holds: the echo goes unanswered.
    ASSERT_EQ(bootptest::Sh("ip link add tvp0 type veth peer name tvp1 && ip addr add 192.0.2.1/24 dev tvp0 && "
                            "ip link set tvp0 up && ip link set tvp1 up"),
              0);
    EXPECT_EQ(basekit::WaitForICMPEcho("192.0.2.77", 300), 2u);
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
