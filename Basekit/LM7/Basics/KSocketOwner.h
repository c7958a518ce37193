#pragma once
// Who owns the far end of a TCP connection to a server on this host, as the kernel tells it
// (sock_diag). Lets the log channel trust only a server that root started.
#include <sys/types.h>

namespace basekit {

class KSocketOwner {
public:
    // The uid owning the server-side socket of connectedFd's IPv4 connection: the accepted
    // socket, or the listener that takes its packets (an accepted socket keeps the listener's
    // owner). False when the kernel cannot say; error then holds the errno (ENOENT: no such
    // socket on this host).
    static bool OwnerUid(int connectedFd, uid_t& uid, int& error);
};

} // namespace basekit
