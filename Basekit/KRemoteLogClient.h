#pragma once
// The log manager of a process whose lines go to a log server (RemoteLogHost in klog.cfg):
// writers queue each line (150 at most), a thread sends them over TCP, and the filter comes
// from the server. The client's own failures go to klog.log in the log directory.
#include <array>
#include <atomic>
#include <memory>
#include <string>

#include "Basekit/KLogManager.h"
#include "Basekit/KLogMessage.h"
#include "Basekit/KSemaphore.h"
#include "Basekit/KThreadLifetimes.h"

namespace basekit {
class KSocketIpcChannel;
}

class KRemoteLogClient : public KLogManager {
public:
    enum { QueueSize = 150, LazyQueueLimit = 101 };

    KRemoteLogClient();
    ~KRemoteLogClient() override;
    // A client when klog.cfg names a log server (RemoteLogHost), else nullptr.
    static KLogManager* CreateIfConfigured();

    // The reload thread starts after each successful connection instead.
    void StartReloadConfigThread() override {}
    // Queues a copy of the line; never waits for the network. Lines that do not fit are lost.
    void SendLog(const basekit::KLogMessage& message, bool lazy);
    // klog.log of the log directory, for the client's own failures.
    KLogWriter* GetFallbackWriter();
    unsigned QueuedMessages();
    // Connection attempts so far (for diagnostics).
    unsigned ConnectAttempts() const { return Attempts; }

protected:
    void OnCreated() override;
    // Queueing writers; the copies of error lines for messages.log are dropped.
    KLogWriter* CreateWriter(const std::string& name) override;

private:
    void TryConnect();
    void SendQueued(bool final);
    void FallbackLine(const kstring& text);
    static void* ConnectThread(void* client);
    static void* FlushQueueThread(void* client);
    static void* ReloadConfigThread(void* client);

    std::unique_ptr<KLogWriter> FallbackWriter; // created on first use
    basekit::KThreadMutex FallbackMutex;        // guards FallbackWriter

    basekit::KSocketIpcChannel* ServerChannel = nullptr; // deleted only by the reload thread
    bool ChannelUsable = false;                          // false after a failed send
    basekit::KThreadMutex ServerChannelMutex;            // guards ServerChannel and ChannelUsable

    basekit::KThreadMutex QueueMutex; // guards Queue, Head and Count
    std::array<basekit::KLogMessage, QueueSize> Queue;
    unsigned Head = 0;
    unsigned Count = 0;

    std::atomic<long long> NoConnectBefore{0}; // steady clock count; set after an untrusted server
    std::atomic<unsigned> Attempts{0};
    basekit::KSemaphore FlushWake{1048576};
    std::atomic<bool> Terminating{false};
    // The flush thread counts as Server, the connecting thread (one at a time) as Starting,
    // the server reader as Worker. Declared last, so destroyed first: it waits (bounded) for
    // any thread still running before the members they use go.
    KThreadLifetimes Threads{false};
};
