#pragma once
// What the BOOTP server does with one parsed datagram, given the boards as configured and the
// server's interfaces: the reply to send, or why none is sent. Pure: no sockets, no log, no
// clock, no configuration singleton. The server does the rest around it (the identification
// register, the address probe, sending, log lines, notifications).
#include <array>
#include <list>

#include "Tools/TAVO/KBOOTPMachine.h"
#include "Tools/TAVO/KBOOTPPacket.h"
#include "Tools/TAVO/KNETInterfaceEx.h"
#include "Tools/TAVO/TAVODevs.h"

class KBOOTPDecision {
public:
    // Why a datagram gets no reply. Each has a stable name (Name) for counters and log lines.
    enum class Drop {
        None,                 // answered
        Malformed,            // not a BOOTP message the server considers
        ReplyPort,            // a request that came in on the reply port
        NotNDX,               // the hardware address is not an NDX board's
        OwnReply,             // one of this server's own replies
        OtherServerReply,     // another server answered a board that is not ours
        Conflict,             // another server answered one of our boards
        Identification,       // the identification register refused it
        DevicesUnloadable,    // the devices configuration could not be loaded
        UnknownBoard,         // the serial is neither configured nor a replacement
        ReplacedBoardMissing, // a replacement whose replaced board is not configured
        NoAddress,            // the board has no address configured
        NoInterface,          // no interface on the board's subnet
        FirmwareNameTooLong,  // the boot file name does not fit the file field
        AddressInUse,         // the address answered the probe
    };
    static const char* Name(Drop reason);

    struct Request {
        KBOOTPPacket Packet;
        bool FromRequestSocket = true; // false: it came in on the reply port
    };

    // The drops that need no configuration; None when the datagram goes on to Decide.
    static Drop Screen(const Request& request, const std::list<KNETInterfaceEx>& interfaces);
    static KBOOTPDecision Decide(const Request& request, const config::DevicesTables& devices,
                                 const std::list<KNETInterfaceEx>& interfaces);

    // The serial of an NDX board's hardware address, 0 for any other address.
    static unsigned int SerialOf(const KBOOTPPacket& packet);
    // The first interface on the subnet of address; null when none.
    static const KNETInterfaceEx* InterfaceFor(const std::string& address,
                                               const std::list<KNETInterfaceEx>& interfaces);

    bool Answered() const { return Reason == Drop::None; }

    Drop Reason = Drop::None;
    unsigned int Serial = 0;
    unsigned int Replaced = 0; // the configured board whose place the requester takes, 0 for none
    KBOOTPMachine Machine;     // set from the board lookup on
    KNETInterfaceEx Interface; // set when answered
    std::array<unsigned char, KBOOTPPacket::ReplySize> Reply {};
};
