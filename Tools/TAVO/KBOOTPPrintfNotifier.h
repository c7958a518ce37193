#pragma once
// Reports each board's BOOTP progress as one trace line on the logger it is given.
#include <string>

#include "Basekit/KLogger.h"
#include "Tools/TAVO/KBOOTPNotifier.h"

class KBOOTPPrintfNotifier : public KBOOTPNotifier {
public:
    explicit KBOOTPPrintfNotifier(KLogger& logger) : Logger(logger) {}
    // "Client <hardware address> boot phase: <phase>", phase in decimal.
    void ClientStatus(const std::string& client, KBOOTStatus status) override;

private:
    KLogger& Logger;
};
