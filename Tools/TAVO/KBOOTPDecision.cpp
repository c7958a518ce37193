#include "Tools/TAVO/KBOOTPDecision.h"

#include <arpa/inet.h>
#include <cstring>

namespace {

uint32_t Address(const std::string& text)
{
    return inet_addr(text.c_str());
}

bool Configured(const config::DevicesTables& devices, unsigned int serial)
{
    return devices.machines.count(serial) || devices.replacements.count(serial);
}

} // namespace

const char* KBOOTPDecision::Name(Drop reason)
{
    switch (reason) {
    case Drop::None: return "none";
    case Drop::Malformed: return "malformed";
    case Drop::ReplyPort: return "reply-port";
    case Drop::NotNDX: return "not-ndx";
    case Drop::OwnReply: return "own-reply";
    case Drop::OtherServerReply: return "other-server-reply";
    case Drop::Conflict: return "conflict";
    case Drop::Identification: return "identification";
    case Drop::DevicesUnloadable: return "devices-unloadable";
    case Drop::UnknownBoard: return "unknown-board";
    case Drop::ReplacedBoardMissing: return "replaced-board-missing";
    case Drop::NoAddress: return "no-address";
    case Drop::NoInterface: return "no-interface";
    case Drop::FirmwareNameTooLong: return "firmware-name-too-long";
    case Drop::AddressInUse: return "address-in-use";
    }
    return "unknown";
}

unsigned int KBOOTPDecision::SerialOf(const KBOOTPPacket& packet)
{
    // Every NDX board's hardware address starts with 0A:3D:91; the rest is its serial.
    const unsigned char* mac = packet.chaddr;
    if (packet.hlen < 6 || mac[0] != 0x0A || mac[1] != 0x3D || mac[2] != 0x91)
        return 0;
    return mac[3] * 65536u + mac[4] * 256u + mac[5];
}

const KNETInterfaceEx* KBOOTPDecision::InterfaceFor(const std::string& address,
                                                    const std::list<KNETInterfaceEx>& interfaces)
{
    const uint32_t ip = Address(address);
    for (const KNETInterfaceEx& iface : interfaces) {
        const uint32_t mask = Address(iface.NetMask);
        if ((ip & mask) == (Address(iface.Address) & mask))
            return &iface;
    }
    return nullptr;
}

KBOOTPDecision::Drop KBOOTPDecision::Screen(const Request& request, const std::list<KNETInterfaceEx>& interfaces)
{
    const KBOOTPPacket& packet = request.Packet;
    if (packet.op == 2) {
        // Another server's reply is only worth a word when it is not our own and names an NDX board.
        if (SerialOf(packet) == 0)
            return Drop::NotNDX;
        for (const KNETInterfaceEx& iface : interfaces)
            if (Address(iface.Address) == packet.siaddr)
                return Drop::OwnReply;
        return Drop::None;
    }
    if (!request.FromRequestSocket)
        return Drop::ReplyPort;
    if (SerialOf(packet) == 0)
        return Drop::NotNDX;
    return Drop::None;
}

KBOOTPDecision KBOOTPDecision::Decide(const Request& request, const config::DevicesTables& devices,
                                      const std::list<KNETInterfaceEx>& interfaces)
{
    KBOOTPDecision out;
    const KBOOTPPacket& packet = request.Packet;
    out.Serial = SerialOf(packet);
    out.Reason = Screen(request, interfaces);
    if (out.Reason != Drop::None)
        return out;
    if (packet.op == 2) {
        out.Reason = Configured(devices, out.Serial) ? Drop::Conflict : Drop::OtherServerReply;
        return out;
    }

    auto configured = devices.machines.find(out.Serial);
    if (configured != devices.machines.end()) {
        out.Machine = configured->second;
    } else {
        auto replacement = devices.replacements.find(out.Serial);
        if (replacement == devices.replacements.end()) {
            out.Reason = Drop::UnknownBoard;
            return out;
        }
        auto replaced = devices.machines.find(replacement->second);
        if (replaced == devices.machines.end()) {
            out.Reason = Drop::ReplacedBoardMissing;
            return out;
        }
        out.Replaced = replacement->second;
        out.Machine = replaced->second;
    }

    // An entry without "IP" is loaded with an empty address. It is refused before any
    // interface is looked for, so the operator reads what is actually wrong.
    if (out.Machine.IP.empty()) {
        out.Reason = Drop::NoAddress;
        return out;
    }
    const KNETInterfaceEx* chosen = InterfaceFor(out.Machine.IP, interfaces);
    if (!chosen) {
        out.Reason = Drop::NoInterface;
        return out;
    }
    // A cut name would make the board ask for a file that does not exist (or another one).
    if (out.Machine.SetNewFirmware && out.Machine.Firmware.size() >= sizeof(packet.file)) {
        out.Reason = Drop::FirmwareNameTooLong;
        return out;
    }
    out.Interface = *chosen;

    KBOOTPPacket reply = packet;
    reply.op = 2;
    reply.ciaddr = 0;
    reply.yiaddr = Address(out.Machine.IP);
    reply.siaddr = Address(chosen->Address);
    std::memset(reply.sname, 0, sizeof(reply.sname));
    if (out.Machine.SetNewFirmware) {
        // The rest of the field is cleared rather than left with the request's bytes.
        std::memset(reply.file, 0, sizeof(reply.file));
        std::memcpy(reply.file, out.Machine.Firmware.data(), out.Machine.Firmware.size());
    }
    reply.WriteReply(out.Reply.data(), out.Reply.size(), Address(chosen->NetMask));
    return out;
}
