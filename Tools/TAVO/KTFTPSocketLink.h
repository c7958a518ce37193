#pragma once
// The link of a real transfer: a socket on a fresh port of the interface the request came in
// on, connected to the board.
#include <netinet/in.h>
#include <string>

#include "Tools/TAVO/KTFTPLink.h"
#include "Tools/TAVO/KUDPSock.h"

class KTFTPSocketLink : public KTFTPLink {
public:
    // Throws basekit::KException when the socket cannot be created.
    KTFTPSocketLink(const std::string& localAddress, const sockaddr_in& board);

    // Connected, so that the ICMP port unreachable of a board that did not send the request (a
    // forged one in its name) ends the transfer at once instead of holding the board busy
    // through six unanswered sends; it also keeps datagrams of other senders out.
    // false (LastError) when connect fails.
    bool Connect();

    bool Send(const unsigned char* data, int length) override;
    Wait Receive(unsigned char* buffer, int capacity, int& length, sockaddr_in& from, int timeoutMs) override;
    int LastError() const override { return Socket.LastError; }

private:
    KUDPSock Socket;
    sockaddr_in Board;
};
