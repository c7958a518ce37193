#include "Tools/TAVO/KBOOTPPacket.h"

#include <cstring>
#include <type_traits>

#include "Basekit/KByteReader.h"
#include "Basekit/KByteWriter.h"

namespace {

using basekit::KByteReader;
using basekit::KByteWriter;

// One overload pair per field kind, so that the single layout below serves both directions.
void Field(KByteReader& in, uint8_t& value) { value = in.u8(); }
void Field(KByteWriter& out, const uint8_t& value) { out.u8(value); }
void Field(KByteReader& in, uint16_t& value) { value = in.u16be(); }
void Field(KByteWriter& out, const uint16_t& value) { out.u16be(value); }
void Field(KByteReader& in, uint32_t& value) { value = in.u32be(); }
void Field(KByteWriter& out, const uint32_t& value) { out.u32be(value); }

template <size_t N>
void Field(KByteReader& in, unsigned char (&value)[N])
{
    if (const unsigned char* at = in.bytes(N))
        std::memcpy(value, at, N);
}
template <size_t N>
void Field(KByteWriter& out, const unsigned char (&value)[N])
{
    out.bytes(value, N);
}

// An IPv4 address field, kept in the byte order of the wire.
template <class Word>
struct Raw {
    Word& value;
};
void Field(KByteReader& in, Raw<uint32_t> address)
{
    if (const unsigned char* at = in.bytes(4))
        std::memcpy(&address.value, at, 4);
}
void Field(KByteWriter& out, Raw<const uint32_t> address) { out.bytes(&address.value, 4); }

template <class Cursor, class Packet>
void Layout(Cursor& cursor, Packet& packet)
{
    using Word = std::conditional_t<std::is_const<Packet>::value, const uint32_t, uint32_t>;
    Field(cursor, packet.op);                    // 0
    Field(cursor, packet.htype);                 // 1
    Field(cursor, packet.hlen);                  // 2
    Field(cursor, packet.hops);                  // 3
    Field(cursor, packet.xid);                   // 4
    Field(cursor, packet.secs);                  // 8
    Field(cursor, packet.flags);                 // 10
    Field(cursor, Raw<Word> {packet.ciaddr});    // 12
    Field(cursor, Raw<Word> {packet.yiaddr});    // 16
    Field(cursor, Raw<Word> {packet.siaddr});    // 20
    Field(cursor, Raw<Word> {packet.giaddr});    // 24
    Field(cursor, packet.chaddr);                // 28
    Field(cursor, packet.sname);                 // 44
    Field(cursor, packet.file);                  // 108
    Field(cursor, packet.cookie);                // 236, vendor area from 240
}

// Option 43 as the boards' bootloaders have always been read: the first byte 43 after the
// cookie starts the field whatever precedes it, and a byte 255 anywhere ends the scan.
std::string ScanIdentification(KByteReader& in)
{
    enum { Seeking, Length, Data } state = Seeking;
    size_t wanted = 0;
    std::string text;
    while (in.remaining() > 0) {
        uint8_t byte = in.u8();
        if (byte == 255)
            break;
        switch (state) {
        case Seeking:
            if (byte == 43)
                state = Length;
            break;
        case Length:
            if (byte == 0)
                return std::string();
            wanted = byte;
            state = Data;
            break;
        case Data:
            text.push_back(static_cast<char>(byte));
            if (text.size() == wanted)
                return text;
            break;
        }
    }
    return std::string(); // cut short: no text at all rather than a partial one
}

} // namespace

bool KBOOTPPacket::Read(const unsigned char* data, size_t size)
{
    KByteReader in(data, size);
    if (in.size() < FixedSize)
        return false;
    Layout(in, *this);
    Identification = ScanIdentification(in);
    return in.ok() && (op == 1 || op == 2) && htype == 1 && hlen == 6 && cookie == MagicCookie;
}

size_t KBOOTPPacket::WriteReply(unsigned char* out, size_t capacity, uint32_t netmask) const
{
    KByteWriter writer(out, capacity);
    Layout(writer, *this);
    writer.u8(1); // subnet mask option
    writer.u8(4);
    writer.bytes(&netmask, 4);
    writer.u8(255); // end
    return writer.ok() ? writer.size() : 0;
}
