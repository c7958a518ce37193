#include "Tools/TAVO/KUDPSock.h"

#include <arpa/inet.h>
#include <cerrno>
#include <sys/select.h>
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

int KUDPSock::Send(const unsigned char* data, int length, sockaddr_in* to)
{
    if (!to) {
        LastError = -666;
        return -3;
    }
    if (!data || length < 0) {
        LastError = EINVAL;
        return -3;
    }
    ssize_t sent = ::sendto(Socket, data, static_cast<size_t>(length), 0, reinterpret_cast<sockaddr*>(to),
                            sizeof(*to));
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
    if (timeoutMs >= 0) {
        // The descriptor set covers descriptor numbers up to 65535, not the C library's
        // 1024-bit fd_set: a server with many open transfers gets high numbers. It is kept per
        // thread and only this descriptor's word is touched, so a wait allocates and clears
        // nothing (it runs once per block of every transfer).
        const size_t bitsPerWord = 8 * sizeof(fd_mask);
        thread_local fd_mask readable[65536 / (8 * sizeof(fd_mask))];
        const size_t word = static_cast<size_t>(Socket) / bitsPerWord;
        if (word >= sizeof(readable) / sizeof(readable[0])) {
            LastError = -1;
            return -2;
        }
        readable[word] = fd_mask(1) << (static_cast<size_t>(Socket) % bitsPerWord);
        timeval timeout;
        timeout.tv_sec = timeoutMs / 1000;
        timeout.tv_usec = (timeoutMs % 1000) * 1000;
        int ready = ::select(Socket + 1, reinterpret_cast<fd_set*>(readable), nullptr, nullptr, &timeout);
        readable[word] = 0;
        if (ready < 0) {
            LastError = ready;
            return -2;
        }
        if (ready == 0)
            return -1;
    }
    sockaddr_in sender {};
    socklen_t senderLength = sizeof(sender);
    ssize_t received = ::recvfrom(Socket, buffer, static_cast<size_t>(capacity), 0,
                                  reinterpret_cast<sockaddr*>(&sender), &senderLength);
    if (received < 0) {
        LastError = errno;
        return -3;
    }
    if (from)
        *from = sender;
    return static_cast<int>(received);
}
