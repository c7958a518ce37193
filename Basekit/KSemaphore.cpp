#include "Basekit/KSemaphore.h"

#include <climits>

#include "Basekit/KHostSystem.h"

namespace basekit {

KSemaphore::KSemaphore(unsigned maximum)
    : Maximum(maximum),
      Handle(KHostSystem::CreateCountSemaphore(0, maximum > INT_MAX ? INT_MAX : static_cast<int>(maximum)))
{
}

KSemaphore::~KSemaphore()
{
    KHostSystem::DeleteSemaphore(Handle);
}

bool KSemaphore::Wait(unsigned ms)
{
    return KHostSystem::WaitOnSemaphore(Handle, ms) == 0;
}

bool KSemaphore::Release()
{
    return KHostSystem::ReleaseSemaphore(Handle, 1);
}

} // namespace basekit
