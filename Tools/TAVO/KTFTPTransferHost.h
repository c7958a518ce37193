#pragma once
// What a transfer needs of the server that accepted it: whether it still runs, where phases
// and log lines go, and the firmware file it may open.
#include <string>

#include "Basekit/KLogger.h"
#include "Tools/TAVO/KTFTPNotifier.h"

class KTFTPTransferHost {
public:
    virtual ~KTFTPTransferHost() = default;
    // false once the server stops: the transfer is cancelled.
    virtual bool IsServing() const = 0;
    virtual void NotifyClient(const std::string& client, KTFTPStatus status, const std::string& detail) = 0;
    virtual void TransferLog(KLogLevel level, const std::string& line) = 0;
    // Whether a line that a forged request can cause as often as it likes may still be written.
    virtual bool AllowLine(const std::string& client, const char* kind, KLogLevel level) = 0;
    // Opens path (the firmware directory and the requested name) for reading, never anything
    // outside that directory: the descriptor, or -1.
    virtual int OpenRequested(const std::string& path) = 0;
};
