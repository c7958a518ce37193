#include "Tools/TAVO/ICMPEcho.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Basekit/KByteReader.h"
#include "Basekit/KByteWriter.h"
#include "Basekit/KFileDescriptor.h"

namespace {

const int EchoRequestSize = 192;
const int ReceiveSize = 192;
const int WaitStepMs = 100;


// Random bytes from the kernel; false when it gives none (the probe is then not made rather
// than sent with guessable fields).
bool FillRandom(void* data, size_t size)
{
    ssize_t got;
    do
        got = ::getrandom(data, size, 0);
    while (got < 0 && errno == EINTR);
    return got == static_cast<ssize_t>(size);
}

} // namespace

namespace basekit {

bool IsEchoReplyTo(const KEchoProbe& probe, const unsigned char* datagram, size_t size, uint32_t sender)
{
    if (sender != probe.target)
        return false;
    KByteReader reader(datagram, size);
    // The header length field rather than a fixed 20 bytes, so a reply with IP options
    // still matches.
    size_t headerLength = static_cast<size_t>(reader.u8() & 0x0f) * 4;
    if (headerLength < 20)
        return false;
    reader.seek(headerLength);
    uint8_t type = reader.u8();
    reader.skip(3); // code, checksum
    uint16_t identifier = reader.u16be();
    uint16_t sequence = reader.u16be();
    const unsigned char* value = reader.bytes(sizeof(probe.value));
    // The sender address alone is easy to forge from anywhere on the LAN; the random
    // identifier, sequence and payload are what only the probed host saw.
    return reader.ok() && type == 0 && identifier == probe.identifier && sequence == probe.sequence &&
           std::memcmp(value, &probe.value, sizeof(probe.value)) == 0;
}

unsigned int WaitForICMPEcho(kstring address, unsigned int timeoutMs)
{
    basekit::KFileDescriptor raw(::socket(AF_INET, SOCK_RAW, IPPROTO_ICMP));
    if (raw.Get() < 0)
        return 1;

    sockaddr_in target {};
    target.sin_family = AF_INET;
    if (inet_aton(address.c_str(), &target.sin_addr) == 0)
        return 1;

    KEchoProbe probe {};
    probe.target = target.sin_addr.s_addr;
    if (!FillRandom(&probe.identifier, sizeof(probe.identifier)) ||
        !FillRandom(&probe.sequence, sizeof(probe.sequence)) || !FillRandom(&probe.value, sizeof(probe.value)))
        return 1;

    unsigned char request[EchoRequestSize];
    KByteWriter writer(request, sizeof(request));
    writer.u8(8);          // echo request
    writer.u8(0);          // code
    writer.u16be(0);       // checksum, filled in below
    writer.u16be(probe.identifier);
    writer.u16be(probe.sequence);
    writer.bytes(&probe.value, sizeof(probe.value)); // host order: only we read it back
    writer.zeros(writer.remaining());
    unsigned short words[EchoRequestSize / 2];
    std::memcpy(words, request, sizeof(request));
    unsigned short checksum = static_cast<unsigned short>(in_cksum(words, EchoRequestSize));
    std::memcpy(request + 2, &checksum, sizeof(checksum));

    if (::sendto(raw.Get(), request, sizeof(request), 0, reinterpret_cast<sockaddr*>(&target), sizeof(target)) <= 0)
        return 1;

    // A real monotonic clock, not the replaceable tick: a frozen test clock must not turn
    // the probe into an endless wait.
    const auto start = std::chrono::steady_clock::now();
    const auto limit = std::chrono::milliseconds(timeoutMs);
    unsigned char reply[ReceiveSize];
    for (;;) {
        if (std::chrono::steady_clock::now() - start >= limit)
            return 2;
        pollfd wait {raw.Get(), POLLIN, 0};
        int ready = ::poll(&wait, 1, WaitStepMs);
        if (ready < 0)
            return 1;
        if (ready == 0)
            continue;
        std::memset(reply, 0, sizeof(reply));
        sockaddr_in sender {};
        socklen_t senderLength = sizeof(sender);
        ssize_t received = ::recvfrom(raw.Get(), reply, sizeof(reply), 0, reinterpret_cast<sockaddr*>(&sender),
                                      &senderLength);
        if (received < 0)
            return 1;
        // Every raw ICMP socket sees all ICMP traffic of the host: other probes' replies,
        // our own request when the address is local, unrelated messages.
        if (IsEchoReplyTo(probe, reply, static_cast<size_t>(received), sender.sin_addr.s_addr))
            return 0;
    }
}

} // namespace basekit

int in_cksum(unsigned short* data, int length)
{
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(data);
    uint64_t sum = 0; // wide enough that no carry is lost before the fold
    int left = length;
    for (; left > 1; left -= 2, bytes += 2) {
        unsigned short word;
        std::memcpy(&word, bytes, sizeof(word));
        sum += word;
    }
    if (left == 1) {
        unsigned short word = 0;
        std::memcpy(&word, bytes, 1); // the odd byte in the word's first memory byte
        sum += word;
    }
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<int>(~sum & 0xffff);
}
