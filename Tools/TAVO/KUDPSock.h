#pragma once
// The datagram socket of every server thread and transfer.
#include <netinet/in.h>
#include <string>

class KUDPSock {
public:
    // Throws basekit::KException when the socket cannot be created or bound.
    KUDPSock(std::string address, int port, bool bindIt);
    ~KUDPSock();
    KUDPSock(const KUDPSock&) = delete;
    KUDPSock& operator=(const KUDPSock&) = delete;

    // true when enabling broadcast failed.
    bool SetBroadCast();
    // Ties the socket to one peer: only its datagrams are received, and an ICMP error that
    // answers a datagram sent to it (port unreachable) fails the next Send or Receive with
    // ECONNREFUSED instead of being dropped. false (LastError = errno) when connect fails.
    bool Connect(const sockaddr_in& peer);
    // Bytes sent, or -3 (LastError = errno). A null destination sends to the connected peer.
    int Send(const unsigned char* data, int length, const sockaddr_in* to);
    // Bytes received, -1 time-out, -2 the time-out could not be set, -3 receive failed;
    // timeoutMs < 0 blocks, 0 only takes a datagram already there.
    int Receive(unsigned char* buffer, int capacity, sockaddr_in* from, int timeoutMs);

    int Socket = -1;
    int Port = 0;
    int LastError = 0;

private:
    int ReceiveTimeoutMs = 0; // as set on the socket; 0: none
};
