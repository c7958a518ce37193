#include "Tools/TAVO/KNETInterface.h"
#include "Tools/TAVO/TAVOService.h"

int main(int argc, char** argv)
{
    TAVOService service;
    const int status = service.Main(argc, argv);
    KNETInterface::StopAddressPolling();
    return status;
}
