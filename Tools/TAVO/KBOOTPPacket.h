#pragma once
// One BOOTP message as the server reads a request (or another server's reply) and writes its
// reply: the RFC 951 fixed part with the RFC 1497 magic cookie, the identification string a
// board carries in vendor option 43, and the 7-byte vendor area of our replies.
#include <cstddef>
#include <cstdint>
#include <string>

struct KBOOTPPacket {
    static const size_t FixedSize = 240; // everything up to and including the magic cookie
    static const size_t ReplySize = 247; // fixed part, subnet-mask option, end option
    static const uint32_t MagicCookie = 0x63825363;

    uint8_t op = 0;
    uint8_t htype = 0;
    uint8_t hlen = 0;
    uint8_t hops = 0;
    uint32_t xid = 0;
    uint16_t secs = 0;
    uint16_t flags = 0;
    // Addresses in network byte order, as inet_addr gives them.
    uint32_t ciaddr = 0;
    uint32_t yiaddr = 0;
    uint32_t siaddr = 0;
    uint32_t giaddr = 0;
    unsigned char chaddr[16] = {};
    unsigned char sname[64] = {};
    unsigned char file[128] = {};
    uint32_t cookie = 0;

    // Reads the fixed part and the identification string. False when the datagram is not one
    // the server considers at all: shorter than the fixed part, op other than 1 or 2, htype
    // other than 1 (Ethernet), hlen other than 6, or a wrong magic cookie.
    bool Read(const unsigned char* data, size_t size);

    // The reply: the fixed part followed by option 1 (subnet mask, network order) and option
    // 255. Returns the bytes written, ReplySize unless capacity is smaller (then 0).
    size_t WriteReply(unsigned char* out, size_t capacity, uint32_t netmask) const;

    // The identification text of option 43, empty when absent, empty-length or cut short.
    std::string Identification;
};
