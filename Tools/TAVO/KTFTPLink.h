#pragma once
// What a transfer needs of the network: datagrams to and from the one board it serves.
// The server gives it a connected socket; tests give it a scripted board on a driven tick.
#include <netinet/in.h>

class KTFTPLink {
public:
    enum class Wait { Datagram, TimedOut, Refused, Failed };

    virtual ~KTFTPLink() = default;
    // Sends one datagram to the board; false (LastError) when it did not go out whole.
    virtual bool Send(const unsigned char* data, int length) = 0;
    // Waits at most timeoutMs for a datagram; length and from are set for Datagram. Refused:
    // the board's kernel answered an earlier datagram with port unreachable. Failed: the wait
    // or the receive failed (LastError).
    virtual Wait Receive(unsigned char* buffer, int capacity, int& length, sockaddr_in& from, int timeoutMs) = 0;
    virtual int LastError() const = 0;
};
