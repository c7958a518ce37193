#pragma once
// The rules the daemon applies to configured values, in one place so that the configuration
// checker predicts exactly what the daemon will do with a file.
#include <cstddef>
#include <string>

class KConfigRules {
public:
    // The time service's port is fixed, not configured.
    static constexpr unsigned int TimePort = 37;
    // The boot reply's file field is 128 bytes and keeps a terminating NUL.
    static constexpr std::size_t MaxFirmwareName = 127;

    // A devices entry is one of this daemon's boards when its type starts with "NDX" in any
    // case; only the first three characters count.
    static bool IsNdxType(const std::string& type);
    // Whether a board can be told this firmware name without cutting it.
    static bool FirmwareNameFits(const std::string& name);
    // A requested or mapped firmware name that could reach outside the firmware directory:
    // ".." anywhere in it, not only as a path component (nothing a board needs has "..").
    static bool MayLeaveFirmwareDirectory(const std::string& name);
};
