#pragma once
// The address-in-use probe of the BOOTP server: one ICMP echo request to the address about to
// be handed out, and the Internet checksum it is sent with.
#include "Basekit/kstring.h"

namespace basekit {

// 0 when address answered within timeoutMs, 2 when no answer came, 1 when the probe could not
// be made (no raw-socket privilege, unparsable address, failed send, wait or receive).
unsigned int WaitForICMPEcho(kstring address, unsigned int timeoutMs);

} // namespace basekit

// The RFC 1071 checksum of length bytes, summed as 16-bit words in memory order; the result,
// in the low 16 bits, is stored into a header as it is (no byte swapping).
int in_cksum(unsigned short* data, int length);
