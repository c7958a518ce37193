#pragma once
// Reports each board's TFTP progress as one trace line on the boot service's logger.
#include <string>

#include "Tools/TAVO/KTFTPNotifier.h"

class KTFTPPrintfNotifier : public KTFTPNotifier {
public:
    // "Client <address> tftp phase: <two-digit phase> <detail>".
    void ClientStatus(const std::string& client, KTFTPStatus status, const std::string& detail) override;
};
