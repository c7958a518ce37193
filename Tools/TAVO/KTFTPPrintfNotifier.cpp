#include "Tools/TAVO/KTFTPPrintfNotifier.h"

void KTFTPPrintfNotifier::ClientStatus(const std::string& client, KTFTPStatus status,
                                       const std::string& detail)
{
    Logger.Trace("Client %s tftp phase: %02i %s", client.c_str(), static_cast<int>(status),
                 detail.c_str());
}
