#include "Basekit/LM7/Basics/KSocketOwner.h"

#include <cerrno>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Basekit/KFileDescriptor.h"

namespace basekit {

namespace {

const int ReplyTimeoutSeconds = 2;

struct Request {
    nlmsghdr header;
    inet_diag_req_v2 body;
};

} // namespace

bool KSocketOwner::OwnerUid(int connectedFd, uid_t& uid, int& error)
{
    sockaddr_in local {}, peer {};
    socklen_t length = sizeof(local);
    if (::getsockname(connectedFd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        error = errno;
        return false;
    }
    length = sizeof(peer);
    if (::getpeername(connectedFd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
        error = errno;
        return false;
    }
    if (local.sin_family != AF_INET || peer.sin_family != AF_INET) {
        error = EAFNOSUPPORT;
        return false;
    }

    basekit::KFileDescriptor diag(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (diag.Get() < 0) {
        error = errno;
        return false;
    }
    // A kernel that never answers must not hold the log channel's thread.
    timeval timeout = {ReplyTimeoutSeconds, 0};
    ::setsockopt(diag.Get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));

    // One exact lookup, not a dump: the kernel finds the socket that receives the packets we
    // send, that is the server's socket whose source is our peer and destination is us.
    Request request {};
    request.header.nlmsg_len = sizeof(request);
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.body.sdiag_family = AF_INET;
    request.body.sdiag_protocol = IPPROTO_TCP;
    request.body.idiag_states = ~0u;
    request.body.id.idiag_sport = peer.sin_port;
    request.body.id.idiag_dport = local.sin_port;
    request.body.id.idiag_src[0] = peer.sin_addr.s_addr;
    request.body.id.idiag_dst[0] = local.sin_addr.s_addr;
    request.body.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    sockaddr_nl kernel {};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(diag.Get(), &request, sizeof(request), 0, reinterpret_cast<sockaddr*>(&kernel), sizeof(kernel)) < 0) {
        error = errno;
        return false;
    }

    alignas(nlmsghdr) unsigned char reply[8192];
    ssize_t received;
    do
        received = ::recv(diag.Get(), reply, sizeof(reply), 0);
    while (received < 0 && errno == EINTR);
    if (received < 0) {
        error = errno;
        return false;
    }
    size_t left = static_cast<size_t>(received);
    for (const nlmsghdr* message = reinterpret_cast<const nlmsghdr*>(reply); NLMSG_OK(message, left);
         message = NLMSG_NEXT(message, left)) {
        if (message->nlmsg_type == NLMSG_ERROR) {
            if (message->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) {
                error = EPROTO;
                return false;
            }
            const nlmsgerr* failure = static_cast<const nlmsgerr*>(NLMSG_DATA(message));
            error = failure->error ? -failure->error : EPROTO;
            return false;
        }
        if (message->nlmsg_type != SOCK_DIAG_BY_FAMILY || message->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
            continue;
        const inet_diag_msg* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(message));
        uid = found->idiag_uid;
        return true;
    }
    error = EPROTO;
    return false;
}

} // namespace basekit
