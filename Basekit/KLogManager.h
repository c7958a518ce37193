#pragma once
// The process-wide owner of the log writers (one per file name), the filter and the
// framework's internal log (klog.log). Created by the first logger, ended when only its
// internal log is left. Between basekit::Initialize() and basekit::Finalize() a thread keeps
// a channel to the local log server open for filter updates and configuration reloads.
#include <atomic>
#include <map>
#include <string>

#include "Basekit/KHostSystem.h"
#include "Basekit/KLogContext.h"
#include "Basekit/KLogFilter.h"
#include "Basekit/KLogWriter.h"
#include "Basekit/KSemaphore.h"
#include "Basekit/KThreadLifetimes.h"
#include "Basekit/KThreadMutex.h"

class KReloadMessage;
namespace basekit {
class KSocketIpcChannel;
}

class KLogManager : public KLogContext {
public:
    // GetMe(false): the manager, created on first use; none (and a crash record) once it
    // has ended. GetMe(true): ends it.
    static KLogManager* GetMe(bool terminate);
    // The manager if it exists, without creating it or leaving a crash record.
    static KLogManager* Current();

    virtual void StartReloadConfigThread();
    ~KLogManager() override;
    KLogManager(const KLogManager&) = delete;
    KLogManager& operator=(const KLogManager&) = delete;
    // The writer of a file name ("klog" for none), created on first use and owned here.
    KLogWriter* GetWriter(const char* name);

    // A line of the internal log of the current manager (created if need be).
    static void InternalLog(KLogLevel level, const char* format, va_list args);
    // Stops building internal messages (their file cannot be opened).
    static void SuppressInternalLog();

    // What the writers and the filter are handed.
    unsigned long long MaxLogSize() override;
    void vReport(KLogLevel level, const char* format, va_list args) override;
    void SuppressReports() override { InternalLogSuppressed = true; }
    KLogWriter* ErrorWriter() override;
    const kstring& GetModuleName() const override { return ModuleName; }
    KLogFilter* Filter() const { return LogFilter; }
    const KSystemTime& StartTime() const { return Started; }

    void FlushWriters();
    void MakeCheckpoint();
    void closeAllOpenLogs();

    static void NotifyLoggerCreation();
    static void NotifyLoggerDestruction();

    // Ends the reload thread; a blocked receive is interrupted at once.
    virtual void LeaveReloadThread();
    void RequestReload();
    void RequestKConfigReload();
    void SendRemoteLogRequest(const kstring& request);

    // Receives type-1 messages of the log server (the configuration reloader installs
    // itself here; it lives in a library above this one).
    typedef int (*ConfigReloadHandler)();
    static void SetConfigReloadHandler(ConfigReloadHandler handler);

    // Makes the manager of a process whose lines go to a log server, or returns nullptr for a
    // local one (the loggers install the remote client here; it lives above this class).
    typedef KLogManager* (*Factory)();
    static void SetFactory(Factory factory);

protected:
    KLogManager();
    // Runs once the singleton is fully set up (its loggers may log from then on).
    virtual void OnCreated() {}
    // A new writer for GetWriter: messages.log or a file of the log directory.
    virtual KLogWriter* CreateWriter(const std::string& name);
    // Applies one message of the log server (type 1 or 2).
    void HandleReloadMessage(KReloadMessage& message);

    static void* ReloadConfigThread(void* manager);
    void ReloadConfigLoop();

private:
    void DropReloadChannel();
    bool WaitWhileRunning(unsigned ms);

    std::atomic<bool> InternalLogSuppressed{false};
    int LiveLoggers = 0; // the internal log counts as one
    basekit::KThreadMutex CountMutex; // guards LiveLoggers

    void* ReloadThread = nullptr;
    std::atomic<bool> ReloadRunning{false};
    std::atomic<bool> ReloadThreadStuck{false};
    KThreadLifetimes ReloadLifetime{false};
    KThreadLifetimes::Token ReloadAlive; // handed to the reload thread, held to its last step
    basekit::KSemaphore ReloadWake{1}; // cuts the wait between connection attempts short
    basekit::KSocketIpcChannel* ReloadChannel = nullptr; // set and deleted by the reload thread only
    basekit::KThreadMutex ChannelMutex;                  // guards ReloadChannel use from other threads
    unsigned FiltersReceived = 0;                        // reload thread only

    kstring ModuleName; // empty in this system

    std::map<std::string, KLogWriter*> Writers; // owned
    basekit::KThreadMutex WritersMutex;         // guards Writers

    KLogWriter* SelfWriter = nullptr; // klog.log, one of Writers
    KLogFilter* LogFilter = nullptr; // owned
    KSystemTime Started;

    friend class KRemoteLogClient;
};
