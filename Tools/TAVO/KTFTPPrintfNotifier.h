#pragma once
// Reports each board's TFTP progress as one trace line on the logger it is given.
#include <string>

#include "Basekit/KLogger.h"
#include "Tools/TAVO/KTFTPNotifier.h"

class KTFTPPrintfNotifier : public KTFTPNotifier {
public:
    explicit KTFTPPrintfNotifier(KLogger& logger) : Logger(logger) {}
    // "Client <address> tftp phase: <two-digit phase> <detail>".
    void ClientStatus(const std::string& client, KTFTPStatus status, const std::string& detail) override;

private:
    KLogger& Logger;
};
