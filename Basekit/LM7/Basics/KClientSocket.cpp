#include "Basekit/LM7/Basics/KClientSocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Basekit/LM7/Basics/KSocketException.h"

namespace basekit {

namespace {

const int SendTimeoutSeconds = 10;

kstring ErrnoText(const char* what, int error)
{
    return fstring("%s: (%d) %s", what, error, strerror(error));
}

bool Resolve(const char* host, unsigned short port, sockaddr_in& address)
{
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (inet_pton(AF_INET, host, &address.sin_addr) == 1)
        return true;
    addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &result) != 0 || !result)
        return false;
    address.sin_addr = reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr;
    freeaddrinfo(result);
    return true;
}

} // namespace

KClientSocket::KClientSocket(const char* host, unsigned short port, unsigned timeoutMs)
{
    if (!host || !*host)
        throw KSocketException("Could not connect: no host");
    sockaddr_in address;
    if (!Resolve(host, port, address))
        throw KSocketException(fstring("Could not resolve host %s", host));
    Descriptor = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (Descriptor < 0)
        throw KSocketException(ErrnoText("socket", errno));

    // A bounded connect: a host that never answers must not hold the caller for minutes.
    int flags = fcntl(Descriptor, F_GETFL, 0);
    fcntl(Descriptor, F_SETFL, flags | O_NONBLOCK);
    int result = connect(Descriptor, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    int error = result == 0 ? 0 : errno;
    if (result != 0 && error == EINPROGRESS) {
        pollfd poller = {Descriptor, POLLOUT, 0};
        int ready;
        do
            ready = poll(&poller, 1, static_cast<int>(timeoutMs));
        while (ready < 0 && errno == EINTR);
        if (ready == 0) {
            error = ETIMEDOUT;
        } else if (ready < 0) {
            error = errno;
        } else {
            socklen_t length = sizeof(error);
            if (getsockopt(Descriptor, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                error = errno;
        }
    }
    if (error != 0) {
        close(Descriptor);
        Descriptor = -1;
        throw KSocketException(fstring("Could not connect to %s:%u: (%d) %s", host, port, error,
                                       strerror(error)));
    }
    fcntl(Descriptor, F_SETFL, flags & ~O_NONBLOCK);
    // A peer that stops reading must not block a sender for ever: the send fails instead
    // and the connection is dropped and made again.
    timeval sendTimeout = {SendTimeoutSeconds, 0};
    setsockopt(Descriptor, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof(sendTimeout));
}

KClientSocket::KClientSocket(int descriptor) : Descriptor(descriptor) {}

KClientSocket::~KClientSocket()
{
    if (Descriptor >= 0)
        close(Descriptor);
}

void KClientSocket::WriteAll(const void* data, size_t size)
{
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        // MSG_NOSIGNAL: a vanished peer is an exception here, not a SIGPIPE for the process.
        ssize_t sent = send(Descriptor, bytes, size, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            throw KSocketException(ErrnoText("send", errno));
        }
        bytes += sent;
        size -= static_cast<size_t>(sent);
    }
}

void KClientSocket::ReadExact(void* data, size_t size)
{
    char* bytes = static_cast<char*>(data);
    while (size > 0) {
        ssize_t got = recv(Descriptor, bytes, size, 0);
        if (got == 0)
            throw KSocketClosedException("Connection closed by peer");
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throw KSocketException(ErrnoText("recv", errno));
        }
        bytes += got;
        size -= static_cast<size_t>(got);
    }
}

int KClientSocket::WaitForData(int timeoutMs)
{
    pollfd poller = {Descriptor, POLLIN, 0};
    int ready = poll(&poller, 1, timeoutMs);
    if (ready < 0)
        return errno == EINTR ? 0 : -1;
    if (ready == 0)
        return 0;
    return (poller.revents & (POLLIN | POLLHUP | POLLERR)) ? 1 : -1;
}

void KClientSocket::Shutdown()
{
    if (Descriptor >= 0)
        shutdown(Descriptor, SHUT_RDWR);
}

} // namespace basekit
