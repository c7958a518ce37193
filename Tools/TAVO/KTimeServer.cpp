#include "Tools/TAVO/KTimeServer.h"

#include <arpa/inet.h>
#include <memory>

#include "Basekit/KByteWriter.h"
#include "Basekit/KException.h"
#include "Basekit/KHostSystem.h"
#include "Tools/TAVO/KConfig.h"
#include "Tools/TAVO/KUDPSock.h"
#include "Tools/TAVO/TAVODevs.h"

namespace {

const char* const SourceFile = "Tools/TAVO/KTimeServer";
const int RequestBufferSize = 1536;
const int ReceiveTimeoutMs = 2000;
const unsigned StartSettleMs = 250;
const unsigned WaitLimitMs = 3 * 2000;
const unsigned WaitPollMs = 10;
const long long SecondsFrom1900To1970 = 2208988800LL;

} // namespace

KTimeServer::KTimeServer() : Logger(klsTAVO, kloTavoTime, "Time", "tavo", 0x10, false) {}

KTimeServer::~KTimeServer()
{
    Stop();
    for (unsigned waited = 0; LiveThreads > 0 && waited < 30000; waited += WaitPollMs)
        KHostSystem::Delay(WaitPollMs);
}

uint32_t KTimeServer::TimeValue(long long secondsSince1970, long long offsetWest)
{
    return static_cast<uint32_t>(static_cast<unsigned long long>(secondsSince1970 + SecondsFrom1900To1970 - offsetWest));
}

int KTimeServer::Start(std::list<KNETInterfaceEx> interfaces, int port)
{
    basekit::KLockGuard guard(StateMutex);
    if (Running)
        return 1;
    Port = port;
    if (interfaces.empty())
        return 5;
    Interfaces = interfaces;
    // Not zeroed: a thread of an earlier run that is still leaving counts itself out.
    Running = true;
    for (size_t i = 0; i < interfaces.size(); ++i) {
        ++LiveThreads;
        void* thread = KHostSystem::StartThread(reinterpret_cast<void*>(&KTimeServer::ThreadStarter), this, 0);
        if (!thread) {
            --LiveThreads;
            KHostSystem::Delay(StartSettleMs);
            Stop();
            return 1;
        }
        KHostSystem::CloseThreadHandle(thread);
    }
    KHostSystem::Delay(StartSettleMs);
    return 0;
}

int KTimeServer::Stop()
{
    basekit::KLockGuard guard(StateMutex);
    if (!Running)
        return 1;
    Running = false;
    return 0;
}

void KTimeServer::WaitTermination()
{
    if (Running)
        Stop();
    int left = 0;
    for (unsigned waited = 0;; waited += WaitPollMs) {
        {
            basekit::KLockGuard guard(StateMutex);
            left = ServerThreads;
        }
        if (left <= 0 || waited >= WaitLimitMs)
            break;
        KHostSystem::Delay(WaitPollMs);
    }
    if (left != 0)
        Logger.Warning("Leaving with %d threads running.", left);
}

void* KTimeServer::ThreadStarter(void* argument)
{
    _NotifyThreadInit(SourceFile, "ThreadStarter", 87);
    KTimeServer* server = static_cast<KTimeServer*>(argument);
    if (!server) {
        std::unique_ptr<KLogger> log(new KLogger(klsTAVO, kloTavoTime, "Time", "tavo", 0x10, false));
        log->Error("Time server: critical error in server thread, OBJECT is NULL");
        return nullptr;
    }
    KNETInterfaceEx iface;
    const char* failure = nullptr;
    try {
        basekit::KLockGuard guard(server->StateMutex);
        if (server->Interfaces.empty()) {
            failure = "Time server: empty interface list";
        } else {
            iface = server->Interfaces.front();
            server->Interfaces.pop_front();
            ++server->ServerThreads;
        }
    } catch (...) {
        failure = "Time server: interface list error";
    }
    if (failure) {
        server->Logger.Error("%s", failure);
        --server->LiveThreads;
        return nullptr;
    }

    try {
        server->ServerThread(iface);
    } catch (basekit::KException& error) {
        server->Logger.Error("Time server: error in server thread > %s", error.what());
    } catch (...) {
        server->Logger.Error("Time server: critical error in server thread");
    }
    {
        basekit::KLockGuard guard(server->StateMutex);
        --server->ServerThreads;
    }
    --server->LiveThreads;
    return nullptr;
}

void KTimeServer::ServerThread(KNETInterfaceEx iface)
{
    KUDPSock socket(iface.Address, Port, true);
    Logger.Trace("Listening on %s:%d", iface.Address.c_str(), Port);
    unsigned char buffer[RequestBufferSize];
    while (Running) {
        sockaddr_in from{};
        int result = socket.Receive(buffer, sizeof buffer, &from, ReceiveTimeoutMs);
        if (!Running || result == -1)
            continue;
        if (result == -2) {
            Logger.Warning("Time server: timeout waiting for packet[ %i ]", socket.LastError);
            continue;
        }
        if (result < 0)
            throw basekit::KException(SourceFile, 209, "Time server: critical socket error waiting for packet[%d]",
                                      socket.LastError);
        if (result != 4)
            continue;
        char text[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
        const std::string client = text;
        // Unknown senders get nothing, not even a log line: the port is open to anybody.
        bool known = false;
        try {
            const config::DevicesTables devices = config::KConfig<config::TAVODevs, 0>::instance()->Copy();
            for (const auto& machine : devices.machines)
                known = known || machine.second.IP == client;
        } catch (std::exception& error) {
            Logger.Warning("Time server: devices configuration not available: %s", error.what());
        }
        if (known)
            ProcessRequest(&socket, client, ntohs(from.sin_port));
    }
}

void KTimeServer::ProcessRequest(KUDPSock* socket, std::string client, int port)
{
    int offset = 0;
    const long seconds = KHostSystem::GetSecondsSinceEpoch(offset);
    unsigned char answer[4];
    basekit::KByteWriter writer(answer, sizeof answer);
    writer.u32be(TimeValue(seconds, offset));

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = inet_addr(client.c_str());
    if (socket->Send(answer, sizeof answer, &to) != 4)
        Logger.Warning("Time server: failed to send response to %s", client.c_str());
}
