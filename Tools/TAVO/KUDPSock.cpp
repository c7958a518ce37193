#include "Tools/TAVO/KUDPSock.h"

#include <arpa/inet.h>
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

#include "Basekit/KException.h"

KUDPSock::KUDPSock(std::string address, int port, bool bindIt) : Port(port)
{
    Socket = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (Socket < 0)
        throw basekit::KException("Socket creation failed");
    if (!bindIt)
        return;

    sockaddr_in local {};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(port));
    local.sin_addr.s_addr = address.empty() ? htonl(INADDR_ANY) : inet_addr(address.c_str());
    if (::bind(Socket, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
        ::close(Socket);
        Socket = -1;
        throw basekit::KException("Tools/TAVO/KUDPSock", 33, "Failed to bind socket to port %i, ip %s", port,
                                  address.c_str());
    }
}

KUDPSock::~KUDPSock()
{
    if (Socket >= 0)
        ::close(Socket);
}

bool KUDPSock::SetBroadCast()
{
    int on = 1;
    return ::setsockopt(Socket, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on)) != 0;
}

bool KUDPSock::Connect(const sockaddr_in& peer)
{
    if (::connect(Socket, reinterpret_cast<const sockaddr*>(&peer), sizeof(peer)) != 0) {
        LastError = errno;
        return false;
    }
    return true;
}

int KUDPSock::Send(const unsigned char* data, int length, const sockaddr_in* to)
{
    if (!data || length < 0) {
        LastError = EINVAL;
        return -3;
    }
    // Without a destination the connected peer: the kernel then reuses the socket's cached
    // route instead of looking one up for every datagram.
    ssize_t sent = to ? ::sendto(Socket, data, static_cast<size_t>(length), 0, reinterpret_cast<const sockaddr*>(to),
                                 sizeof(*to))
                      : ::send(Socket, data, static_cast<size_t>(length), 0);
    if (sent < 0) {
        LastError = errno;
        return -3;
    }
    return static_cast<int>(sent);
}

int KUDPSock::Receive(unsigned char* buffer, int capacity, sockaddr_in* from, int timeoutMs)
{
    if (!buffer || capacity < 0 || Socket < 0) {
        LastError = Socket < 0 ? EBADF : EINVAL;
        return -3;
    }
    // The wait is the receive itself, bounded by the socket's receive time-out: one call per
    // datagram instead of a select and a receive (it runs once per block of every transfer).
    // The time-out is set only when it changes, which for a transfer or a server loop is once.
    int flags = 0;
    if (timeoutMs == 0) {
        flags = MSG_DONTWAIT;
    } else {
        const int wanted = timeoutMs < 0 ? 0 : timeoutMs; // 0: no time-out
        if (wanted != ReceiveTimeoutMs) {
            timeval timeout;
            timeout.tv_sec = wanted / 1000;
            timeout.tv_usec = (wanted % 1000) * 1000;
            if (::setsockopt(Socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) != 0) {
                LastError = errno;
                return -2;
            }
            ReceiveTimeoutMs = wanted;
        }
    }
    sockaddr_in sender {};
    socklen_t senderLength = sizeof(sender);
    ssize_t received = ::recvfrom(Socket, buffer, static_cast<size_t>(capacity), flags,
                                  reinterpret_cast<sockaddr*>(&sender), &senderLength);
    if (received < 0) {
        LastError = errno;
        // A signal ends the wait early; the callers treat it as a short time-out and wait again.
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return -1;
        return -3;
    }
    if (from)
        *from = sender;
    return static_cast<int>(received);
}
