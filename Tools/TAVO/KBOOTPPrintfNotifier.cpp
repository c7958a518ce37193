#include "Tools/TAVO/KBOOTPPrintfNotifier.h"

#include "Tools/TAVO/TAVOService.h"

void KBOOTPPrintfNotifier::ClientStatus(const std::string& client, KBOOTStatus status)
{
    TAVOService::Logger.Trace("Client %s boot phase: %i", client.c_str(), static_cast<int>(status));
}
