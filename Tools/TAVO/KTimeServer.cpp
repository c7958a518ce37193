#include "Tools/TAVO/KTimeServer.h"

#include <arpa/inet.h>
#include <vector>

#include "Basekit/KByteWriter.h"
#include "Basekit/KException.h"
#include "Basekit/KHostSystem.h"
#include "Tools/TAVO/KConfig.h"
#include "Tools/TAVO/KNETInterface.h"
#include "Tools/TAVO/KUDPSock.h"
#include "Tools/TAVO/TAVODevs.h"

namespace {

const char* const SourceFile = "Tools/TAVO/KTimeServer";
const int RequestBufferSize = 1536;
const int ReceiveTimeoutMs = 2000;
const unsigned WaitLimitMs = 3 * 2000;
const unsigned DestructionWaitMs = 30000; // every thread sees a stop within one receive time-out
const long long SecondsFrom1900To1970 = 2208988800LL;

} // namespace

KTimeServer::KTimeServer() : Logger(klsTAVO, kloTavoTime, "Time", "tavo", 0x10, false) {}

KTimeServer::~KTimeServer()
{
    Threads.Stop();
    Threads.WaitIdle(KThreadLifetimes::After(DestructionWaitMs));
}

uint32_t KTimeServer::TimeValue(long long secondsSince1970, long long offsetWest)
{
    return static_cast<uint32_t>(static_cast<unsigned long long>(secondsSince1970 + SecondsFrom1900To1970 - offsetWest));
}

int KTimeServer::Start(std::list<KNETInterfaceEx> interfaces, int port)
{
    basekit::KLockGuard guard(StateMutex);
    if (Threads.IsRunning())
        return 1;
    if (interfaces.empty())
        return 5;
    Port = port;
    return KNETInterface::StartPerInterface(Threads, interfaces,
                                            [this](const KNETInterfaceEx& iface) { RunServerThread(iface); });
}

int KTimeServer::Stop()
{
    return Threads.Stop();
}

void KTimeServer::WaitTermination()
{
    Threads.Stop();
    Threads.WaitIdle(KThreadLifetimes::After(WaitLimitMs), {KThreadLifetimes::Server});
    const int left = Threads.Count(KThreadLifetimes::Server);
    if (left != 0)
        Logger.Warning("Leaving with %d threads running.", left);
}

void KTimeServer::RunServerThread(const KNETInterfaceEx& iface)
{
    _NotifyThreadInit(SourceFile, "ThreadStarter", 87);
    try {
        ServerThread(iface);
    } catch (basekit::KException& error) {
        Logger.Error("Time server: error in server thread > %s", error.what());
    } catch (...) {
        Logger.Error("Time server: critical error in server thread");
    }
}

void KTimeServer::ServerThread(KNETInterfaceEx iface)
{
    KUDPSock socket(iface.Address, Port, true);
    Logger.Trace("Listening on %s:%d", iface.Address.c_str(), Port);
    unsigned char buffer[RequestBufferSize];
    while (Threads.IsRunning()) {
        Beats.fetch_add(1, std::memory_order_relaxed);
        Budget.Flush(Logger);
        sockaddr_in from{};
        int result = socket.Receive(buffer, sizeof buffer, &from, ReceiveTimeoutMs);
        if (!Threads.IsRunning() || result == -1)
            continue;
        if (result == -2) {
            Logger.Warning("Time server: timeout waiting for packet[ %i ]", socket.LastError);
            continue;
        }
        if (result < 0)
            throw basekit::KException(SourceFile, 209, "Time server: critical socket error waiting for packet[%d]",
                                      socket.LastError);
        if (result != 4) {
            Counters.Add(KCounters::TimeRefused);
            continue;
        }
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
            if (Budget.Allow(client, "devices", klWarning))
                Logger.Warning("Time server: devices configuration not available: %s", error.what());
        }
        if (known) {
            ProcessRequest(&socket, client, ntohs(from.sin_port));
        } else {
            Counters.Add(KCounters::TimeRefused);
            Activity.TimeRefused(client);
        }
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
    // The sender's address may be forged, so failures to reach it are budgeted like any line
    // a datagram causes.
    if (socket->Send(answer, sizeof answer, &to) == 4) {
        Counters.Add(KCounters::TimeAnswered);
        Activity.TimeAnswered(client);
        return;
    }
    Counters.Add(KCounters::TimeRefused);
    if (Budget.Allow(client, "send", klWarning))
        Logger.Warning("Time server: failed to send response to %s", client.c_str());
}
