// Runs the TFTP server alone on one address and port until standard input closes, for the
// side-by-side benchmark (bench/tftp_side_by_side.sh). Needs the fixed configuration paths,
// so it runs inside the sandbox only.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "Basekit/KHostSystem.h"
#include "Tools/TAVO/KTFTPServer.h"

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s ADDRESS PORT\n", argv[0]);
        return 2;
    }
    KHostSystem::UseOneHeapArena(); // as the daemon does
    KTFTPServer server;
    int result = server.Start({KNETInterfaceEx{argv[1], "255.255.255.0", ""}}, std::atoi(argv[2]), 64);
    if (result != 0) {
        std::fprintf(stderr, "start failed: %d\n", result);
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    char byte;
    while (read(STDIN_FILENO, &byte, 1) > 0)
        ;
    server.WaitTermination();
    return 0;
}
