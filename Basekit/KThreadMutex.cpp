#include "Basekit/KThreadMutex.h"

#include "Basekit/KHostSystem.h"

namespace basekit {

KThreadMutex::KThreadMutex() : Handle(KHostSystem::CreateLocalMutex()) {}

KThreadMutex::~KThreadMutex()
{
    KHostSystem::DeleteLocalMutex(Handle);
}

void KThreadMutex::Lock()
{
    KHostSystem::EnterLocalMutex(Handle);
}

void KThreadMutex::Unlock()
{
    KHostSystem::LeaveLocalMutex(Handle);
}

KLockGuard::KLockGuard(void* localMutexHandle) : Handle(localMutexHandle)
{
    KHostSystem::EnterLocalMutex(Handle);
}

KLockGuard::~KLockGuard()
{
    if (Mutex)
        Mutex->Unlock();
    else
        KHostSystem::LeaveLocalMutex(Handle);
}

} // namespace basekit
