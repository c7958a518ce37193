#include "Basekit/KHostSystem.h"
#include "Tools/TAVO/KNETInterface.h"
#include "Tools/TAVO/TAVOService.h"

int main(int argc, char** argv)
{
    KHostSystem::UseOneHeapArena();
    TAVOService service;
    // Only the service roles ever call OnStart, so the start and stop commands keep the
    // rights they need (the root switch, signalling the daemon).
    service.RestrictPrivilegesAtStart();
    const int status = service.Main(argc, argv);
    KNETInterface::StopAddressPolling();
    return status;
}
