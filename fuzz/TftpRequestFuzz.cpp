// Any datagram from a known or unknown board, through the TFTP request parser and the whole
// acceptance path, with a configuration of its own. Accepted transfers are not started, so
// nothing is sent. Checks: no crash or over-read, an accepted name never holds "..", and the
// board is never left busy by a refused request.
#include <arpa/inet.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "Tools/TAVO/KConfig.h"
#include "Tools/TAVO/KTFTPServer.h"
#include "Tools/TAVO/KTFTPSubProcess.h"
#include "Tools/TAVO/TAVOCfg.h"
#include "Tools/TAVO/TAVODevs.h"
#include "fuzz/FuzzSupport.h"

namespace {

class AcceptOnlyServer : public KTFTPServer {
public:
    int Accepted = 0;
    bool RefuseThreads = false;

protected:
    bool StartTransfer(KTFTPSubProcess* transfer) override
    {
        if (RefuseThreads)
            return false; // the "Unable to start processing thread!" path; the caller keeps it
        std::unique_ptr<KTFTPSubProcess> owned(transfer);
        if (owned->FileName.find("..") != std::string::npos)
            abort();
        ++Accepted;
        FreeMachine(owned->ClientAddress); // as the transfer thread does when it ends
        return true;
    }
};

AcceptOnlyServer& Server()
{
    static AcceptOnlyServer* server = [] {
        if (fuzz::InSandbox()) { // the fixed paths are the sandbox's own
            fuzz::WriteFile("/etc/varnel/config/tavo.yaml",
                            "tavo:\n  Firmwares:\n    - boot.bin: fw_v2.bin\n    - evil.bin: ../x\n");
            fuzz::WriteFile("/etc/varnel/config/devices.yaml", "Devices:\n  - 1:\n      Type: NDX\n      IP: 192.0.2.50\n"
                                                               "  - 2:\n      Type: NDX\n      IP: 192.0.2.51\n");
        }
        try {
            config::KConfig<config::TAVOCfg, 0>::instance();
            config::KConfig<config::TAVODevs, 0>::instance();
        } catch (...) {
            // without a configuration every request is refused, which is fuzzed as well
        }
        return new AcceptOnlyServer; // lives to the end of the process
    }();
    return *server;
}

} // namespace

// Byte 0 picks the sender (two known boards, one stranger), byte 1 the sender port (0 or
// not) and whether thread starts fail; the rest is the datagram.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    static const char* const senders[] = {"192.0.2.50", "192.0.2.51", "192.0.2.200"};
    const char* sender = senders[data[0] % 3];
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_port = htons(data[1] & 1 ? 0 : 1234);
    from.sin_addr.s_addr = inet_addr(sender);

    // An exact-size copy, so that a read past the datagram is caught.
    const size_t length = size - 2;
    std::unique_ptr<unsigned char[]> datagram(new unsigned char[length ? length : 1]);
    if (length)
        memcpy(datagram.get(), data + 2, length);

    AcceptOnlyServer& server = Server();
    server.RefuseThreads = data[1] & 2;
    server.ProcessRequest(datagram.get(), static_cast<int>(length), "192.0.2.1", &from);
    // Whatever happened, the board is idle again: a good request from it is accepted.
    const int before = server.Accepted;
    server.RefuseThreads = false;
    static const char good[] = "\0\1fw.bin\0octet";
    from.sin_port = htons(1234);
    server.ProcessRequest(reinterpret_cast<const unsigned char*>(good), sizeof good, "192.0.2.1", &from);
    if (std::string(sender) != "192.0.2.200" && server.Accepted != before + 1 &&
        config::KConfig<config::TAVODevs, 0>::instance()->Copy().machines.size() == 2)
        abort();
    return 0;
}
