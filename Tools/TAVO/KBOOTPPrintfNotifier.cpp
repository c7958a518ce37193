#include "Tools/TAVO/KBOOTPPrintfNotifier.h"

void KBOOTPPrintfNotifier::ClientStatus(const std::string& client, KBOOTStatus status)
{
    Logger.Trace("Client %s boot phase: %i", client.c_str(), static_cast<int>(status));
}
