#pragma once
// One configured board, as read from the devices configuration.
#include <string>

struct KBOOTPMachine {
    std::string IP;              // dotted IPv4 address to assign, as written
    unsigned int Replacer = 0;   // serial of the board that takes this one's place, 0 for none
    bool SetNewFirmware = false; // name Firmware in the boot reply's file field
    std::string Firmware;
};
