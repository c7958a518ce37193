#pragma once
// One TFTP transfer: the request the server accepted and the lock-step sending of the file
// to the board. Created by the request handler, owned and deleted by the transfer thread.
#include <cstdint>
#include <netinet/in.h>
#include <string>

class KTFTPServer;
class KUDPSock;

class KTFTPSubProcess {
public:
    KTFTPSubProcess(KTFTPServer* server, std::string fileName, std::string localAddress,
                    std::string clientAddress, uint32_t clientPort);

    // Sends the file in 512-byte blocks, each acknowledged before the next, with the
    // retransmission and error rules of the server; reports every outcome to the notifier.
    // Throws basekit::KException when the transfer socket cannot be created.
    void Transfer();

    KTFTPServer* Server;
    std::string FileName;      // full path of the file to send
    std::string LocalAddress;  // interface the request arrived on
    std::string ClientAddress; // the board's address
    uint32_t ClientPort;       // the board's UDP port, host order

private:
    enum class BlockOutcome { Acknowledged, Over, Cancelled };
    // Sends one DATA packet until it is acknowledged, at most six times.
    BlockOutcome SendBlock(KUDPSock& socket, sockaddr_in& destination, const unsigned char* packet, int length,
                           uint16_t block);
};
