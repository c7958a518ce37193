// Any datagram through everything the BOOTP server does before the address probe: the header
// checks, option 43, the identification register, the board lookup, the interface choice and
// the reply bytes; also the reaction to other servers' replies. The boards come from a fixed
// table instead of devices.yaml, and nothing touches the network.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "Tools/TAVO/KBOOTPServer.h"
#include "Tools/TAVO/KNETInterface.h"

namespace {

class FixedBoardsServer : public KBOOTPServer {
public:
    FixedBoardsServer()
    {
        KBOOTPMachine board;
        board.IP = "192.0.2.50";
        board.Replacer = 0x001299;
        Boards.machines[0x001234] = board;
        board = KBOOTPMachine();
        board.IP = "192.0.2.51";
        board.SetNewFirmware = true;
        board.Firmware = "fw_v2.bin";
        Boards.machines[0x001235] = board;
        board.IP = "";
        Boards.machines[0x001236] = board;
        board.IP = "203.0.113.5";
        Boards.machines[0x001237] = board;
        board.IP = "192.0.2.52";
        board.Firmware = std::string(200, 'x');
        Boards.machines[0x001238] = board;
        Boards.replacements[0x001299] = 0x001234;
        Boards.replacements[0x00129A] = 0x00FFFF; // a hand-made table naming no configured board
        UseInterfaces({{"192.0.2.1", "255.255.255.0", "192.0.2.255"}, {"198.51.100.1", "255.255.255.0", "198.51.100.255"}});
    }
    bool Decide(const uint8_t* data, size_t size, bool fromRequestSocket)
    {
        PreparedReply reply;
        bool answer = PrepareReply(data, static_cast<int>(size), fromRequestSocket, reply);
        if (answer && reply.Reply[0] != 2) // a prepared reply is always a reply
            __builtin_trap();
        return answer;
    }

protected:
    config::DevicesTables LoadDevices() override { return Boards; }

private:
    config::DevicesTables Boards;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static FixedBoardsServer server;
    server.Decide(data, size, true);
    server.Decide(data, size, false);
    // The same bytes as a netlink datagram for the address poller.
    KNETInterface::DispatchAddressMessages(data, size, nullptr);
    return 0;
}
