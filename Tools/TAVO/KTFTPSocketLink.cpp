#include "Tools/TAVO/KTFTPSocketLink.h"

#include <cerrno>

// Port 0: a fresh port per transfer, so the board's acknowledgements reach this transfer.
KTFTPSocketLink::KTFTPSocketLink(const std::string& localAddress, const sockaddr_in& board)
    : Socket(localAddress, 0, true), Board(board)
{
}

bool KTFTPSocketLink::Connect()
{
    return Socket.Connect(Board);
}

bool KTFTPSocketLink::Send(const unsigned char* data, int length)
{
    return Socket.Send(data, length, nullptr) == length;
}

KTFTPLink::Wait KTFTPSocketLink::Receive(unsigned char* buffer, int capacity, int& length, sockaddr_in& from,
                                         int timeoutMs)
{
    length = Socket.Receive(buffer, capacity, &from, timeoutMs);
    if (length >= 0)
        return Wait::Datagram;
    if (length == -1)
        return Wait::TimedOut;
    if (length == -3 && Socket.LastError == ECONNREFUSED)
        return Wait::Refused;
    return Wait::Failed;
}
