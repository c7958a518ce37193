#include "Basekit/KBaseException.h"

KBaseException::KBaseException(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    SetMessage(format, args);
    va_end(args);
}
