#pragma once
// Reports each board's BOOTP progress as one trace line on the boot service's logger.
#include <string>

#include "Tools/TAVO/KBOOTPNotifier.h"

class KBOOTPPrintfNotifier : public KBOOTPNotifier {
public:
    // "Client <hardware address> boot phase: <phase>", phase in decimal.
    void ClientStatus(const std::string& client, KBOOTStatus status) override;
};
