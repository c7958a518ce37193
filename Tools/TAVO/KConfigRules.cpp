#include "Tools/TAVO/KConfigRules.h"

#include <cctype>

bool KConfigRules::IsNdxType(const std::string& type)
{
    static const char prefix[] = "NDX";
    if (type.size() < 3)
        return false;
    for (std::size_t i = 0; i < 3; ++i) {
        if (std::toupper(static_cast<unsigned char>(type[i])) != prefix[i])
            return false;
    }
    return true;
}

bool KConfigRules::FirmwareNameFits(const std::string& name)
{
    return name.size() <= MaxFirmwareName;
}

bool KConfigRules::MayLeaveFirmwareDirectory(const std::string& name)
{
    return name.find("..") != std::string::npos;
}
