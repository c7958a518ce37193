#pragma once
// The address-in-use probe of the BOOTP server: one ICMP echo request to the address about to
// be handed out, and the Internet checksum it is sent with.
#include <cstddef>
#include <cstdint>

#include "Basekit/kstring.h"

namespace basekit {

// 0 when address answered within timeoutMs, 2 when no answer came, 1 when the probe could not
// be made (no raw-socket privilege, unparsable address, no random bytes, failed send, wait or
// receive).
unsigned int WaitForICMPEcho(kstring address, unsigned int timeoutMs);

// What one probe sent, and so what its answer must carry back.
struct KEchoProbe {
    uint32_t target;     // the probed address, network byte order
    uint16_t identifier; // random, as sent (big-endian on the wire)
    uint16_t sequence;   // random, as sent (big-endian on the wire)
    uint32_t value;      // random first payload word, host byte order on the wire
};

// True when datagram (an IPv4 packet as a raw ICMP socket reads it) from sender (network byte
// order) is the echo reply to probe: every field an off-path sender would have to guess matches.
bool IsEchoReplyTo(const KEchoProbe& probe, const unsigned char* datagram, size_t size, uint32_t sender);

} // namespace basekit

// The RFC 1071 checksum of length bytes, summed as 16-bit words in memory order; the result,
// in the low 16 bits, is stored into a header as it is (no byte swapping).
int in_cksum(unsigned short* data, int length);
