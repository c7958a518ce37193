#include "Tools/TAVO/KConfLog.h"

namespace config {

KLogger KConfLog::ConfigLog(klsConfig, -1, "CONFIG", "basekit", 0x11, false);

void KConfLog::OptionalTrace(const char* format, ...)
{
    KLogger optional(klsConfig, kloConfigOptionalValues, "CFG-OPT", "basekit", 0x11, false);
    va_list args;
    va_start(args, format);
    optional.vLog(klTrace, format, args);
    va_end(args);
}

} // namespace config
