#pragma once
// Progress interface of the TFTP server: one call per phase of each board's request.
#include <string>

// Phase numbers reported to the notifier; 3 and 6 are never reported.
enum KTFTPStatus {
    tsRequest = 0,       // read request from a known, idle board accepted for parsing
    tsSending = 1,       // file opened, transfer starts (detail: full path)
    tsFinished = 2,      // last block acknowledged
    tsNoFileName = 4,    // request without a file name
    tsBadRequest = 5,    // missing or unsupported mode, or ".." in the (mapped) name
    tsFileNotFound = 7,  // file cannot be opened
    tsReadError = 8,     // reading the file failed
    tsSendError = 9,     // a data block could not be sent
    tsAckTimeout = 10,   // a block was sent six times without acknowledgement
    tsAckError = 11,     // socket failure while waiting for an acknowledgement
    tsCancelled = 12,    // server stopped during the transfer
    tsServerError = 13   // a server thread failed (empty client, detail: error text)
};

class KTFTPNotifier {
public:
    virtual void ClientStatus(const std::string& client, KTFTPStatus status, const std::string& detail) = 0;
    virtual ~KTFTPNotifier() = default;
};
