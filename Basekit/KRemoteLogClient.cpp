#include "Basekit/KRemoteLogClient.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>

#include "Basekit/KFileLogWriter.h"
#include "Basekit/KHostSystem.h"
#include "Basekit/KLogClock.h"
#include "Basekit/KReloadMessage.h"
#include "Basekit/KRemoteLogSpecs.h"
#include "Basekit/KRemoteLogWriter.h"
#include "Basekit/KThread.h"
#include "Basekit/LM7/Basics/KSocketIpcChannel.h"
#include "Basekit/LM7/Basics/KSocketOwner.h"

namespace {

// The copies of error lines for messages.log are not sent: the server keeps its own.
class KDiscardingWriter : public KLogWriter {
public:
    void CheckDay(unsigned) override {}
    void Write(const char*, va_list) override {}
    void Flush(bool) override {}
    kstring Name() override { return "messages"; }
};

// Once per process, however often the connection is retried.
std::atomic<bool> ConnectFailureReported{false};
std::atomic<bool> DistrustReported{false};

// After a server that is not trusted, the next attempt waits this long, so lines logged in
// the meantime do not each bring a new connection.
const std::chrono::seconds DistrustRetryWait(15);

// Empty when lines may go to the server at the far end of fd and its filters be taken;
// otherwise why not. A server on loopback is one a local user can stand in for while the
// real one is down (the port is above 1024), and there the kernel names the owner: only
// root's is trusted, and an owner it cannot name is not. A server on another host is the
// operator's own choice and cannot be asked about.
kstring DistrustReason(int fd, const kstring& host, unsigned port)
{
    sockaddr_in peer {};
    socklen_t length = sizeof(peer);
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0 || peer.sin_family != AF_INET ||
        (ntohl(peer.sin_addr.s_addr) >> 24) != 127)
        return kstring();
    uid_t owner = 0;
    int error = 0;
    if (!basekit::KSocketOwner::OwnerUid(fd, owner, error))
        return fstring("Cannot tell who owns the log server at %s:%u (%s): nothing is sent to it\n", host.c_str(), port,
                       strerror(error));
    if (owner != 0)
        return fstring("Log server at %s:%u belongs to uid %u, not root: nothing is sent to it\n", host.c_str(), port,
                       static_cast<unsigned>(owner));
    return kstring();
}

const unsigned FlushWaitMs = 1000;

const unsigned ShutdownWaitMs = 3000;
const unsigned ConnectWaitMs = 6000; // a connect in progress may take its own time-out first

// A detached thread of kind running routine(client); Full when limit such threads run.
KThreadLifetimes::Outcome Start(KThreadLifetimes& threads, KThreadLifetimes::Kind kind,
                                void* (*routine)(void*), KRemoteLogClient* client, unsigned limit = ~0u)
{
    return threads.Start(kind, [routine, client](KThreadLifetimes::Token&) { routine(client); }, limit);
}

} // namespace

KRemoteLogClient::KRemoteLogClient()
{
    LogFilter = new KLogFilter(this);
}

KLogManager* KRemoteLogClient::CreateIfConfigured()
{
    try {
        KRemoteLogSpecs::Instance()->LoadValues();
        if (!KRemoteLogSpecs::Instance()->RemoteLogHost().empty())
            return new KRemoteLogClient();
    } catch (const std::exception&) {
    }
    return nullptr;
}

void KRemoteLogClient::OnCreated()
{
    if (Start(Threads, KThreadLifetimes::Server, &KRemoteLogClient::FlushQueueThread, this) !=
        KThreadLifetimes::Outcome::Started) {
        FallbackLine("Error in KRemoteLogClient: could not start the flush thread\n");
    }
}

KRemoteLogClient::~KRemoteLogClient()
{
    Terminating = true;
    FlushWake.Release();
    Threads.WaitIdle(KThreadLifetimes::After(ShutdownWaitMs), {KThreadLifetimes::Server});
    {
        basekit::KLockGuard lock(ServerChannelMutex);
        if (ServerChannel)
            ServerChannel->Terminate();
    }
    Threads.WaitIdle(KThreadLifetimes::After(ShutdownWaitMs), {KThreadLifetimes::Worker});
    Threads.WaitIdle(KThreadLifetimes::After(ConnectWaitMs), {KThreadLifetimes::Starting});
    basekit::KLockGuard lock(FallbackMutex);
    FallbackWriter.reset();
}

KLogWriter* KRemoteLogClient::CreateWriter(const std::string& name)
{
    if (name == "messages")
        return new KDiscardingWriter();
    return new KRemoteLogWriter([this](const basekit::KLogMessage& message, bool lazy) { SendLog(message, lazy); },
                                name.c_str());
}

KLogWriter* KRemoteLogClient::GetFallbackWriter()
{
    basekit::KLockGuard lock(FallbackMutex);
    if (!FallbackWriter)
        FallbackWriter.reset(new KFileLogWriter("klog", *this));
    return FallbackWriter.get();
}

void KRemoteLogClient::FallbackLine(const kstring& text)
{
    KLogWriter* writer = GetFallbackWriter();
    KSystemTime now = KLogClock::Now();
    basekit::KLockGuard lock(writer->GetMutex());
    writer->FmtWrite("%02d:%02d:%02d.%03d PID=%04d| %s", now.hour, now.minute, now.second, now.millisecond,
                     KHostSystem::GetCurrentProcId(), text.c_str());
    writer->Flush(false);
}

unsigned KRemoteLogClient::QueuedMessages()
{
    basekit::KLockGuard lock(QueueMutex);
    return Count;
}

void KRemoteLogClient::SendLog(const basekit::KLogMessage& message, bool lazy)
{
    basekit::KLockGuard lock(QueueMutex);
    // Lazy Trace lines leave room for the lines that matter when the server is slow or away.
    unsigned limit = lazy ? LazyQueueLimit : QueueSize;
    if (Count >= limit)
        return;
    basekit::KLogMessage& slot = Queue[(Head + Count) % QueueSize];
    slot.Name = message.Name;
    slot.Text = message.Text;
    ++Count;
    if (!lazy)
        FlushWake.Release();
}

void KRemoteLogClient::TryConnect()
{
    if (std::chrono::steady_clock::now().time_since_epoch().count() < NoConnectBefore)
        return;
    // One connecting thread at a time; a busy or failed start is retried on the next flush.
    Start(Threads, KThreadLifetimes::Starting, &KRemoteLogClient::ConnectThread, this, 1);
}

void KRemoteLogClient::SendQueued(bool final)
{
    basekit::KLockGuard channelLock(ServerChannelMutex);
    for (;;) {
        basekit::KLogMessage next;
        {
            basekit::KLockGuard lock(QueueMutex);
            if (!Count)
                return;
            next.Name = Queue[Head].Name;
            next.Text = Queue[Head].Text;
        }
        if (!ServerChannel) {
            if (!final)
                TryConnect();
            return;
        }
        // A broken channel stays until its reader thread has seen the end and removed it.
        if (!ChannelUsable)
            return;
        try {
            ServerChannel->Send(next);
        } catch (...) {
            ChannelUsable = false;
            ServerChannel->Terminate();
            throw;
        }
        basekit::KLockGuard lock(QueueMutex);
        Head = (Head + 1) % QueueSize;
        --Count;
    }
}

void* KRemoteLogClient::FlushQueueThread(void* argument)
{
    KRemoteLogClient* client = static_cast<KRemoteLogClient*>(argument);
    basekit::KThread::SetPriority(0);
    for (;;) {
        client->FlushWake.Wait(FlushWaitMs);
        bool final = client->Terminating;
        try {
            // At the end, what can still be sent on an open connection is sent.
            client->SendQueued(final);
        } catch (const std::exception& error) {
            client->FallbackLine(fstring("Error in %s: %s\n", "FlushQueueThread", error.what()));
        }
        if (final)
            return nullptr;
    }
}

void* KRemoteLogClient::ConnectThread(void* argument)
{
    KRemoteLogClient* client = static_cast<KRemoteLogClient*>(argument);
    KRemoteLogSpecs* settings = KRemoteLogSpecs::Instance();
    kstring host = settings->RemoteLogHost();
    unsigned port = settings->RemoteLogPort();
    bool connected = false;
    kstring distrust;
    // An untrusted server's connection is closed only once klog.log says why, so the line is
    // there by the time the other end sees the close.
    std::unique_ptr<basekit::KClientSocket> untrusted;
    ++client->Attempts;
    try {
        basekit::KLockGuard lock(client->ServerChannelMutex);
        if (!client->ServerChannel && !client->Terminating) {
            std::unique_ptr<basekit::KClientSocket> socket(
                new basekit::KClientSocket(host.c_str(), static_cast<unsigned short>(port)));
            distrust = DistrustReason(socket->Handle(), host, port);
            if (!distrust.empty())
                untrusted = std::move(socket);
            if (distrust.empty()) {
                client->ServerChannel = new basekit::KSocketIpcChannel(std::move(socket));
                client->ChannelUsable = true;
                if (Start(client->Threads, KThreadLifetimes::Worker, &KRemoteLogClient::ReloadConfigThread, client) !=
                    KThreadLifetimes::Outcome::Started) {
                    delete client->ServerChannel;
                    client->ServerChannel = nullptr;
                    throw std::runtime_error("could not start the reload thread");
                }
                connected = true;
            }
        }
    } catch (const std::exception& error) {
        if (!ConnectFailureReported.exchange(true))
            client->FallbackLine(
                fstring("Could not connect to log server at %s:%d (%s)\n", host.c_str(), port, error.what()));
    }
    if (!distrust.empty()) {
        client->NoConnectBefore = (std::chrono::steady_clock::now() + DistrustRetryWait).time_since_epoch().count();
        if (!DistrustReported.exchange(true))
            client->FallbackLine(distrust);
        untrusted.reset();
    }
    if (connected)
        client->FlushWake.Release();
    return nullptr;
}

void* KRemoteLogClient::ReloadConfigThread(void* argument)
{
    KRemoteLogClient* client = static_cast<KRemoteLogClient*>(argument);
    basekit::KSocketIpcChannel* channel = client->ServerChannel;
    for (;;) {
        KReloadMessage message;
        try {
            if (!channel->Receive(message))
                break;
            client->HandleReloadMessage(message);
        } catch (const std::exception& error) {
            if (!client->Terminating)
                client->FallbackLine(fstring("Error in %s: %s\n", "ReloadConfigThread", error.what()));
            break;
        }
    }
    {
        basekit::KLockGuard lock(client->ServerChannelMutex);
        delete client->ServerChannel;
        client->ServerChannel = nullptr;
        client->ChannelUsable = false;
    }
    return nullptr;
}
