#pragma once
// Turns a program into a Unix service: the command words start, stop, debug (and the
// detached copy's nofork), the pid file, the core-dump directory, the stop signals and the
// system-log lines. A derived class does the work in OnStart and OnStop.
#include <cstdio>
#include <vector>

#include "Basekit/kstring.h"

namespace basekit {
namespace service {

class KServiceBase {
public:
    // Registers the object as the process's single service; a second one throws
    // std::logic_error.
    explicit KServiceBase(const kstring& name);
    KServiceBase(const kstring& name, const kstring& description);
    KServiceBase(const KServiceBase&) = delete;
    KServiceBase& operator=(const KServiceBase&) = delete;

    virtual bool OnStart(const std::vector<kstring>& args);
    virtual bool OnStop();
    virtual void OnPause();
    virtual void OnContinue();
    virtual void OnShutDown();
    virtual ~KServiceBase();

    // The registered service; registers candidate when there is none yet.
    static KServiceBase* _Instance(KServiceBase* candidate);

    // The whole command-line life of the process; the result is its exit status.
    int Main(int argc, char** argv);
    int StartDaemon(int argc, char** argv);
    int StopDaemon();
    // OnStop, pid file removed, exit(0). A second caller waits for the first to end the process.
    [[noreturn]] void _StopRequest();

    FILE* OpenPidFile();
    void ClosePidFile(FILE* stream);
    bool TestPidFile(FILE* stream);
    bool TestPidProc(FILE* stream);
    bool CreatePidFile(int pid);
    void RemovePidFile();

    void ActiveCoredump();
    void Log(int priority, const kstring& text);

    const kstring& Name() const { return ServiceName; }
    const kstring& Description() const { return ServiceDescription; }
    const kstring& PidFilePath() const { return PidFile; }
    bool IsDebug() const { return Debug; }

protected:
    // Why OnStart or OnStop failed; printed when the start fails.
    kstring ErrorText;

private:
    // The main thread's wait in a service role: stop signals (and, in debug mode, Enter or
    // the end of standard input) end it in _StopRequest.
    [[noreturn]] void WaitForStop();

    kstring ServiceName;
    kstring ServiceDescription;
    bool Debug = false;
    kstring PidFile;
};

} // namespace service
} // namespace basekit

extern "C" void KServiceBase_SignalHandler(int signal);
