#include "Basekit/KSystemEvent.h"

#include "Basekit/KHostSystem.h"

namespace basekit {

KSystemEvent::KSystemEvent(const char* name) : Handle(KHostSystem::CreateSystemEvent(name)) {}

KSystemEvent::~KSystemEvent()
{
    KHostSystem::CloseSystemEvent(Handle);
}

bool KSystemEvent::Wait(unsigned ms)
{
    return KHostSystem::WaitEvent(Handle, ms) == 0;
}

void KSystemEvent::Pulse()
{
    KHostSystem::PulseSystemEvent(Handle);
}

} // namespace basekit
