#pragma once
// How the BOOTP server reports each board's progress to the boot service.
#include <string>

// Boot phases, reported with the board's hardware address as client text (empty for bsServerError).
enum KBOOTStatus {
    bsAddressAssigned = 0, // the reply carries the board's address (before the address probe)
    bsReplySent = 1,       // at least one reply datagram went out whole
    bsReplyFailed = 2,     // no reply datagram went out whole
    bsServerError = 3      // the server thread ended with an error
};

class KBOOTPNotifier {
public:
    virtual void ClientStatus(const std::string& client, KBOOTStatus status) = 0;
    virtual ~KBOOTPNotifier() = default;
};
