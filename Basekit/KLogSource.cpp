#include "Basekit/KLogSource.h"

const char* KLogSourceStr[] = {
    "System",   "Source1",  "Source2",  "Source3",  "Source4",  "Source5",  "Source6",  "Source7",
    "Source8",  "Source9",  "Timer",    "Source11", "Source12", "KLogger",  "Source14", "Source15",
    "Source16", "Source17", "TAVO",     "Config",   "Source20", "Source21", "Source22", "Source23",
    "Source24", "Source25", "Source26", "Source27", "Source28", "MaxSources", ""};
const char* KLogTavoOptionsStr[] = {"General", "BOOTP", "TFTP", "Time", ""};
const char* KLogConfigOptionsStr[] = {"OptionalValues", ""};
const char* KLogUniqueOption[] = {""};

namespace {

const char* OptionName(const char** table, unsigned option)
{
    for (unsigned i = 0; table[i][0]; ++i) {
        if (option == (1u << i))
            return table[i];
    }
    return "UNKOWN";
}

} // namespace

const char* GetStringKLogSource(KLogSource source)
{
    if (source < 0 || source > klsMaxSources)
        return "UNKOWN";
    return KLogSourceStr[source];
}

const char* GetStringKLogTavoOptions(unsigned option)
{
    return OptionName(KLogTavoOptionsStr, option);
}

const char* GetStringKLogConfigOptions(unsigned option)
{
    return OptionName(KLogConfigOptionsStr, option);
}
