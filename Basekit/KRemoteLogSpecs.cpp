#include "Basekit/KRemoteLogSpecs.h"

#include "Basekit/KConfigReader.h"
#include "Basekit/KHostSystem.h"

KRemoteLogSpecs* KRemoteLogSpecs::Instance()
{
    // Never destroyed: loggers of static objects may still ask during process exit.
    static KRemoteLogSpecs* instance = new KRemoteLogSpecs();
    return instance;
}

void KRemoteLogSpecs::LoadValues()
{
    basekit::KLockGuard lock(Mutex);
    if (!NeedsLoading)
        return;
    KConfigReader reader;
    try {
        reader.LoadFile(fstring("%s/config/klog.cfg", KHostSystem::GetWorkDirectory()).c_str(), false);
    } catch (const std::exception&) {
        return;
    }
    // Each key on its own: a file that sets only the port (the usual case for the local log
    // server) must not lose it because it names no remote host.
    int port = reader.GetIntDef("RemoteLogPort", DefaultPort);
    Port = (port > 0 && port <= 65535) ? static_cast<uint16_t>(port) : DefaultPort;
    Host = reader.GetStringDef("RemoteLogHost", "");
    NeedsLoading = false;
}

uint16_t KRemoteLogSpecs::RemoteLogPort()
{
    basekit::KLockGuard lock(Mutex);
    return Port;
}

kstring KRemoteLogSpecs::RemoteLogHost()
{
    basekit::KLockGuard lock(Mutex);
    return Host;
}
