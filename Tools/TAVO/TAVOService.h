#pragma once
// The boot service: owns the BOOTP, TFTP and time servers, starts them on the host's
// interfaces with the service configuration, and restarts them when the host's IPv4
// addresses change.
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "Basekit/KLogger.h"
#include "Basekit/KThreadMutex.h"
#include "Basekit/LM7/Basics/KServiceBaseLinux.h"
#include "Basekit/kstring.h"
#include "Tools/TAVO/KBOOTPPrintfNotifier.h"
#include "Tools/TAVO/KBOOTPServer.h"
#include "Tools/TAVO/KControlServer.h"
#include "Tools/TAVO/KCounters.h"
#include "Tools/TAVO/KMetricsHttpServer.h"
#include "Tools/TAVO/KNetAddRestarter.h"
#include "Tools/TAVO/KTFTPPrintfNotifier.h"
#include "Tools/TAVO/KTFTPServer.h"
#include "Tools/TAVO/KTimeServer.h"

class TAVOService : public basekit::service::KServiceBase, public KNetAddRestarter {
public:
    TAVOService();
    ~TAVOService() override;

    // Loads the service configuration (first call only), finds the interfaces and starts the
    // three servers and the address polling. A server that fails to start is logged and
    // skipped; only an exception fails the start, its text becoming the error text.
    bool OnStart(const std::vector<kstring>& args) override;
    // Stops the three servers, waits for their threads and ends the log reload thread.
    bool OnStop() override;
    // On the address-polling thread: the servers are stopped and started again on the
    // interfaces found anew, with the configuration already loaded.
    void Restart() override;

    // Makes the first OnStart give up every capability but those the servers need, and set
    // no-new-privileges; a failure to do so fails the start.
    void RestrictPrivilegesAtStart() { RestrictPrivileges = true; }

    // The service's logger (tavo.log, option General); the notifiers and the poller use it too.
    static KLogger Logger;

private:
    // The three servers stopped and waited for, then the log reload thread ended.
    void StopServers();
    // What the control socket's `status` reports; on a control thread.
    KControlServer::Status ControlStatus();
    // What the control socket's `boards` reports: every configured board and the strangers seen.
    KControlServer::Boards ControlBoards();
    // The capability drop of the first start; throws with the reason when it fails.
    void DropPrivileges();
    // systemd's watchdog and status line, on the Watchdog thread (only under systemd).
    void Watch();
    std::string StatusLine();

    KBOOTPServer BootServer;
    KTFTPServer TftpServer;
    KTimeServer TimeServer;
    KBOOTPPrintfNotifier BootNotifier{Logger};
    KTFTPPrintfNotifier TftpNotifier{Logger};

    // Set before Main by the daemon's entry: the service roles then keep only the capabilities
    // the servers need, from the first start on. In-process tests leave it off, since a dropped
    // bounding set could not be restored for the tests after them.
    bool RestrictPrivileges = false;

    // Start, stop and restart run on three different threads (main, the stop path, the
    // poller). This recursive mutex makes each of them one step: a stop that arrives while a
    // restart runs waits for it, and a restart never starts the servers again once the stop
    // path has begun. Recursive because Restart calls OnStop and OnStart while holding it.
    basekit::KThreadMutex LifeMutex;
    bool Restarting = false; // LifeMutex: set while Restart runs, by the thread that holds it
    bool Stopping = false;   // LifeMutex: the stop path has begun; never cleared

    const std::chrono::steady_clock::time_point Started = std::chrono::steady_clock::now();
    std::mutex StatusMutex;            // a status read never waits for a restart's LifeMutex
    std::vector<std::string> Served;   // StatusMutex: the interfaces of the last start
    // After the servers, whose heartbeats its thread reads: it ends before them.
    KThreadLifetimes Watchdog{false};
    // Last: its threads read the servers, so it ends before them.
    KControlServer Control{Logger, [this] { return ControlStatus(); }, [this] { return ControlBoards(); }};
    // The metrics answer over HTTP when tavo.yaml asks for it; its threads read the servers too.
    KMetricsHttpServer Metrics{Logger, [this] {
        return KControlServer::Answer("metrics", ControlStatus(), KCounters::Process().Snapshot());
    }};
};
