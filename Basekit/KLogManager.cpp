#include "Basekit/KLogManager.h"

#include <cstring>
#include <memory>

#include "Basekit/KCrashLogger.h"
#include "Basekit/KFileLogWriter.h"
#include "Basekit/KHostSystem.h"
#include "Basekit/KLogBuilder.h"
#include "Basekit/KLogClock.h"
#include "Basekit/KLogMessage.h"
#include "Basekit/KMessagesWriter.h"
#include "Basekit/KReloadMessage.h"
#include "Basekit/KRemoteLogSpecs.h"
#include "Basekit/KThread.h"
#include "Basekit/LM7/Basics/KSocketException.h"
#include "Basekit/LM7/Basics/KSocketIpcChannel.h"
#include "Basekit/LM7/Basics/KSocketOwner.h"

namespace {

std::atomic<KLogManager*> Instance{nullptr};
// The manager while its creating thread builds it: that thread's nested calls (its own
// logger, the filter's messages) need it, other threads must not see it half built.
thread_local KLogManager* BuildingHere = nullptr;
std::atomic<bool> Terminated{false};
std::atomic<KLogManager::ConfigReloadHandler> ReloadHandler{nullptr};
std::atomic<KLogManager::Factory> MakeManager{nullptr};
std::atomic<int> CheckpointCounter{0};
// The internal log takes every option of its source.
const unsigned AllOptions = 0xFFFFFFFFu;

void InternalLine(KLogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void InternalLine(KLogLevel level, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    KLogManager::InternalLog(level, format, args);
    va_end(args);
}

// Waits between connection attempts to the local log server: short until a first
// connection, longer after one (the server is then restarting, not missing).
const unsigned FirstRetrySeconds = 5;
const unsigned LaterRetrySeconds = 15;
const unsigned RetryStepMs = 500;
const unsigned ReloadExitWaitMs = 50000;

// Empty when the log server at the far end of fd runs as root; otherwise why it is not
// listened to. Its port is above 1024, so while the real server is down any local user can
// take it, and its filters could switch every Trace line on, shrink the log files to
// nothing or hide errors. An owner the kernel cannot name (no sock_diag) is not trusted
// either: losing remote filter changes is better than handing them to anyone.
kstring DistrustReason(int fd, unsigned port)
{
    uid_t owner = 0;
    int error = 0;
    if (!basekit::KSocketOwner::OwnerUid(fd, owner, error))
        return fstring("Cannot tell who owns the log server on port %u (%s): its filters and reload requests are "
                       "ignored",
                       port, strerror(error));
    if (owner != 0)
        return fstring(
            "Log server on port %u belongs to uid %u, not root: its filters and reload requests are ignored", port,
            static_cast<unsigned>(owner));
    return kstring();
}

} // namespace

KLogManager::KLogManager()
{
    Started = KLogClock::Now();
}

KLogManager::~KLogManager()
{
    basekit::KLockGuard lock(WritersMutex);
    for (auto& entry : Writers)
        delete entry.second;
    Writers.clear();
    delete LogFilter;
    LogFilter = nullptr;
}

KLogManager* KLogManager::Current()
{
    KLogManager* manager = Instance;
    return manager ? manager : BuildingHere;
}

KLogManager* KLogManager::GetMe(bool terminate)
{
    if (terminate) {
        Terminated = true;
        KLogManager* manager = Instance;
        if (!manager)
            return nullptr;
        manager->SelfWriter = nullptr;
        Instance = nullptr;
        // A reload thread that never signalled its exit may still use the manager.
        if (!manager->ReloadThreadStuck)
            delete manager;
        return nullptr;
    }

    KLogManager* manager = Instance;
    if (manager)
        return manager;
    if (BuildingHere)
        return BuildingHere;
    if (Terminated) {
        KCrashLogger crash;
        crash.Log("Trying to log when KLogger is already finished");
        return nullptr;
    }

    // Normally reached once, during static initialisation; the lock only guards against two
    // threads racing to build the first logger: the second waits here until the manager is
    // complete. The nested calls below, on this thread, find it in BuildingHere.
    static basekit::KThreadMutex creation;
    basekit::KLockGuard lock(creation);
    if (Instance)
        return Instance;
    Factory factory = MakeManager;
    if (factory)
        manager = factory();
    if (!manager)
        manager = new KLogManager();
    BuildingHere = manager;
    // The internal log counts as a logger: the manager ends when only it is left.
    manager->SelfWriter = manager->GetWriter(nullptr);
    NotifyLoggerCreation();
    if (!manager->LogFilter)
        manager->LogFilter = new KLogFilter(manager);
    manager->LogFilter->LoadConfig();
    InternalLine(klNotice, "Log directory: %s", KFileLogWriter::LogDirectory().c_str());
    Instance = manager;
    BuildingHere = nullptr;
    manager->OnCreated();
    return manager;
}

KLogWriter* KLogManager::GetWriter(const char* name)
{
    basekit::KLockGuard lock(WritersMutex);
    std::string key = (name && *name) ? name : "klog";
    auto found = Writers.find(key);
    if (found != Writers.end())
        return found->second;
    KLogWriter* writer = CreateWriter(key);
    Writers[key] = writer;
    return writer;
}

KLogWriter* KLogManager::CreateWriter(const std::string& name)
{
    if (name == "messages")
        return new KMessagesWriter(*this);
    return new KFileLogWriter(name.c_str(), *this);
}

unsigned long long KLogManager::MaxLogSize()
{
    return LogFilter ? LogFilter->MaxLogFileSize() : KLOG_DEFAULT_MAX_FILE_SIZE;
}

void KLogManager::vReport(KLogLevel level, const char* format, va_list args)
{
    InternalLog(level, format, args);
}

KLogWriter* KLogManager::ErrorWriter()
{
    static std::atomic<KLogWriter*> writer{nullptr};
    KLogWriter* current = writer;
    if (!current) {
        KLogManager* manager = Current();
        if (!manager)
            return nullptr;
        current = manager->GetWriter("messages");
        writer = current;
    }
    return current;
}

void KLogManager::SuppressInternalLog()
{
    KLogManager* manager = Current();
    if (manager)
        manager->InternalLogSuppressed = true;
}

void KLogManager::InternalLog(KLogLevel level, const char* format, va_list args)
{
    // The framework's own messages during and after its shutdown are dropped quietly; only
    // application lines leave crash records.
    if (Terminated)
        return;
    KLogManager* manager = GetMe(false);
    if (!manager || manager->InternalLogSuppressed)
        return;
    KLogWriter* self = manager->SelfWriter;
    KLogFilter* filter = manager->LogFilter;
    if (!self || (filter && !filter->IsActive(level, klsKLogger, AllOptions)))
        return;
    KLogBuilder line(self, manager, level);
    line.Message().Format("|PID=%4d %-15s| ", KHostSystem::GetCurrentProcId(), manager->ModuleName.c_str());
    line.Message().vAppendFormat(format, args);
}

void KLogManager::FlushWriters()
{
    basekit::KLockGuard lock(WritersMutex);
    for (auto& entry : Writers) {
        basekit::KLockGuard writerLock(entry.second->GetMutex());
        entry.second->Flush(false);
    }
}

void KLogManager::MakeCheckpoint()
{
    basekit::KLockGuard lock(WritersMutex);
    int number = ++CheckpointCounter;
    for (auto& entry : Writers) {
        if (!entry.second->IsOpen())
            continue;
        KLogBuilder line(entry.second, nullptr, klTrace);
        line.Message().Format("\t\t\t\t ***** CHECKPOINT %d ***** ", number);
    }
}

void KLogManager::closeAllOpenLogs()
{
    basekit::KLockGuard lock(WritersMutex);
    for (auto& entry : Writers)
        entry.second->Close();
}

void KLogManager::NotifyLoggerCreation()
{
    KLogManager* manager = Current();
    if (!manager)
        return;
    basekit::KLockGuard lock(manager->CountMutex);
    ++manager->LiveLoggers;
}

void KLogManager::NotifyLoggerDestruction()
{
    if (Terminated)
        return;
    KLogManager* manager = Current();
    if (!manager)
        return;
    int live;
    {
        basekit::KLockGuard lock(manager->CountMutex);
        --manager->LiveLoggers;
    }
    {
        basekit::KLockGuard lock(manager->CountMutex);
        live = manager->LiveLoggers;
    }
    if (live != 1)
        return;
    // Only the framework's own logger is left: the application has finished logging.
    Terminated = true;
    manager->LeaveReloadThread();
    GetMe(true);
}

void KLogManager::SetConfigReloadHandler(ConfigReloadHandler handler)
{
    ReloadHandler = handler;
}

void KLogManager::SetFactory(Factory factory)
{
    MakeManager = factory;
}

void KLogManager::StartReloadConfigThread()
{
    if (ReloadRunning || ReloadThread)
        return;
    ReloadRunning = true;
    ReloadAlive = ReloadLifetime.Acquire(KThreadLifetimes::Worker);
    ReloadThread = basekit::KThread::StartThread(reinterpret_cast<void*>(&KLogManager::ReloadConfigThread), this, 0,
                                                 false, false, 0);
    if (!ReloadThread) {
        ReloadRunning = false;
        ReloadAlive.Release();
        InternalLine(klWarning, "Could not start the reload config thread");
    }
}

void* KLogManager::ReloadConfigThread(void* argument)
{
    KLogManager* manager = static_cast<KLogManager*>(argument);
    // Released as the thread's last touch of the manager: LeaveReloadThread waits for it
    // before the manager can be destroyed.
    KThreadLifetimes::Token alive = std::move(manager->ReloadAlive);
    if (manager->ReloadRunning) {
        _NotifyThreadInit("Basekit/KLogger", "ReloadConfigThread", 436);
        try {
            manager->ReloadConfigLoop();
        } catch (...) {
            InternalLine(klWarning, "Unknown exception in reload config thread, reload disabled");
        }
    }
    InternalLine(klTrace, "Signaling reload thread exit");
    return nullptr;
}

bool KLogManager::WaitWhileRunning(unsigned ms)
{
    for (unsigned waited = 0; waited < ms && ReloadRunning; waited += RetryStepMs)
        ReloadWake.Wait(RetryStepMs);
    return ReloadRunning;
}

void KLogManager::DropReloadChannel()
{
    basekit::KLockGuard lock(ChannelMutex);
    delete ReloadChannel;
    ReloadChannel = nullptr;
}

void KLogManager::ReloadConfigLoop()
{
    int attempt = 0;
    bool connectedOnce = false;
    bool distrustReported = false; // one Warning until a trusted server is found
    while (ReloadRunning) {
        if (!ReloadChannel) {
            ++attempt;
            InternalLine(klNotice, "Connecting to log server (attempt %d)", attempt);
            try {
                KRemoteLogSpecs::Instance()->LoadValues();
                unsigned short port = KRemoteLogSpecs::Instance()->RemoteLogPort();
                std::unique_ptr<basekit::KClientSocket> socket(new basekit::KClientSocket("127.0.0.1", port));
                // Nothing is read from a server that is not trusted: the connection is
                // closed and tried again after the usual wait, so a stand-in neither
                // steers the filter nor makes the thread spin.
                kstring distrust = DistrustReason(socket->Handle(), port);
                if (!distrust.empty()) {
                    if (!distrustReported)
                        InternalLine(klWarning, "%s", distrust.c_str());
                    distrustReported = true;
                    throw basekit::KSocketException("log server not trusted");
                }
                distrustReported = false;
                basekit::KLockGuard lock(ChannelMutex);
                // LeaveReloadThread may have run while we connected: it found no channel to
                // terminate, so this one must not be used.
                if (!ReloadRunning)
                    break;
                ReloadChannel = new basekit::KSocketIpcChannel(std::move(socket));
                attempt = 0;
                connectedOnce = true;
            } catch (const std::exception& error) {
                unsigned wait = connectedOnce ? LaterRetrySeconds : FirstRetrySeconds;
                InternalLine(klNotice, "Could not connect to log server, trying againg in %ds [%s]", wait,
                             error.what());
                WaitWhileRunning(wait * 1000);
                continue;
            }
        }

        KReloadMessage message;
        try {
            if (!ReloadChannel->Receive(message)) {
                if (!ReloadRunning)
                    break;
                InternalLine(klNotice, "Log server connection ended");
                DropReloadChannel();
                continue;
            }
        } catch (const basekit::KSocketException&) {
            if (!ReloadRunning)
                break;
            InternalLine(klNotice, "Log server connection closed");
            DropReloadChannel();
            continue;
        } catch (const std::exception& error) {
            // Bytes that are no message leave the stream out of step: only a new
            // connection can bring it back in step.
            InternalLine(klWarning, "Malformed message from log server, connection dropped [%s]",
                         error.what());
            DropReloadChannel();
            continue;
        }

        try {
            HandleReloadMessage(message);
        } catch (const std::exception& error) {
            InternalLine(klWarning, "Unexpected exception in reload config thread, reload disabled [%s]",
                         error.what());
            break;
        }
    }
    {
        basekit::KLockGuard lock(ChannelMutex);
        if (ReloadChannel)
            ReloadChannel->Terminate();
    }
    DropReloadChannel();
    InternalLine(klNotice, "Leaving reload config thread");
}

void KLogManager::HandleReloadMessage(KReloadMessage& message)
{
    switch (message.GetType()) {
    case KReloadMessage::ktReloadConfig: {
        ConfigReloadHandler handler = ReloadHandler;
        if (handler)
            handler();
        else
            InternalLine(klNotice, "Configuration reload requested, but no configuration reloader is installed");
        break;
    }
    case KReloadMessage::ktLogFilter:
        closeAllOpenLogs();
        LogFilter->CopyFrom(message.GetLogFilter());
        if (++FiltersReceived > 1)
            MakeCheckpoint();
        LogFilter->InvokeFilterCallback(true);
        break;
    default:
        InternalLine(klNotice, "Ignoring log server message of type %d", message.GetType());
        break;
    }
}

void KLogManager::LeaveReloadThread()
{
    if (!ReloadRunning)
        return;
    ReloadRunning = false;
    {
        basekit::KLockGuard lock(ChannelMutex);
        if (ReloadChannel)
            ReloadChannel->Terminate();
    }
    ReloadWake.Release();
    InternalLine(klTrace, "Waiting reload config thread to exit");
    if (ReloadLifetime.WaitIdle(KThreadLifetimes::After(ReloadExitWaitMs))) {
        InternalLine(klTrace, "Thread released");
    } else {
        ReloadThreadStuck = true;
        InternalLine(klNotice, "Reload config thread did not signed termination, leaking LogManager!!!");
    }
    basekit::KThread::CloseThreadHandle(ReloadThread);
    ReloadThread = nullptr;
}

void KLogManager::RequestReload()
{
    SendRemoteLogRequest("reload");
}

void KLogManager::RequestKConfigReload()
{
    SendRemoteLogRequest("config_reload");
}

void KLogManager::SendRemoteLogRequest(const kstring& request)
{
    basekit::KLockGuard lock(ChannelMutex);
    if (!ReloadChannel)
        return;
    try {
        ReloadChannel->Send(basekit::KLogMessage("0", request));
    } catch (const std::exception& error) {
        InternalLine(klWarning, "Could not request \"%s\" [%s]", request.c_str(), error.what());
    }
}
