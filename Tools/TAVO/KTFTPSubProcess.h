#pragma once
// One TFTP transfer: the request the server accepted and the lock-step sending of the file
// to the board. Created by the request handler, owned and deleted by the transfer thread.
#include <cstdint>
#include <memory>
#include <netinet/in.h>
#include <string>

#include "Tools/TAVO/KBoardActivity.h"

class KTFTPLink;
class KTFTPServer;
class KTFTPTransferHost;

class KTFTPSubProcess {
public:
    KTFTPSubProcess(KTFTPServer* server, std::string fileName, std::string localAddress,
                    std::string clientAddress, uint32_t clientPort);

    // Run over a socket connected to the board, with the server as host.
    // Throws basekit::KException when the transfer socket cannot be created.
    void Transfer();
    // Sends the file in 512-byte blocks, each acknowledged before the next, with the
    // retransmission and error rules; reports every outcome to the host.
    void Run(KTFTPTransferHost& host, KTFTPLink& link);

    KTFTPServer* Server;       // whose transfer thread runs it
    std::string FileName;      // full path of the file to send
    std::string LocalAddress;  // interface the request arrived on
    std::string ClientAddress; // the board's address
    uint32_t ClientPort;       // the board's UDP port, host order

    // What the transfer did, counted on its own thread: the server adds it to its counters
    // once the transfer has ended, so that no shared counter is touched per block.
    bool Completed = false;       // the last block was acknowledged
    uint64_t DataBytes = 0;       // of every DATA packet sent, retransmissions included
    uint64_t Retransmissions = 0; // DATA packets sent again
    // Where the operators' view of the boards reads how far the transfer got; may be null.
    std::shared_ptr<KBoardActivity::Progress> Progress;

private:
    enum class BlockOutcome { Acknowledged, Over, Cancelled };
    // Sends one DATA packet until it is acknowledged, at most six times.
    BlockOutcome SendBlock(KTFTPTransferHost& host, KTFTPLink& link, const sockaddr_in& board,
                           const unsigned char* packet, int length, uint16_t block);
};
