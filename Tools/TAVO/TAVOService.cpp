#include "Tools/TAVO/TAVOService.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <exception>
#include <linux/capability.h>
#include <list>
#include <map>
#include <set>
#include <sys/stat.h>
#include <syslog.h>

#include "Tools/TAVO/KBoardActivity.h"
#include "Tools/TAVO/KCapabilities.h"
#include "Tools/TAVO/KConfig.h"
#include "Tools/TAVO/KConfigReloader.h"
#include "Tools/TAVO/KConfigRules.h"
#include "Tools/TAVO/KCounters.h"
#include "Tools/TAVO/KNETInterface.h"
#include "Tools/TAVO/KNETInterfaceEx.h"
#include "Tools/TAVO/KSystemdNotifier.h"
#include "Tools/TAVO/TAVOCfg.h"
#include "Tools/TAVO/TAVODevs.h"

KLogger TAVOService::Logger(klsTAVO, kloTavoGeneral, "General", "tavo", 0x10, false);

namespace {

// The BOOTP, TFTP and time ports are fixed or configured; only the TFTP transfer limit and
// the time port are the service's own choice.
const int MaxTftpClients = 64;

// Sets a flag for one scope, so that an exception cannot leave it set.
class KFlagScope {
public:
    explicit KFlagScope(bool& flag) : Flag(flag) { Flag = true; }
    ~KFlagScope() { Flag = false; }
    KFlagScope(const KFlagScope&) = delete;
    KFlagScope& operator=(const KFlagScope&) = delete;

private:
    bool& Flag;
};

} // namespace

TAVOService::TAVOService() : KServiceBase("tavo", "Tavoline") {}

TAVOService::~TAVOService()
{
    KNETInterface::StopAddressPolling();
}

bool TAVOService::OnStart(const std::vector<kstring>&)
{
    basekit::KLockGuard guard(LifeMutex);
    // A start that lost the race against a stop request starts nothing: the process is on
    // its way out, and servers started now would only be cut off by the exit.
    if (Stopping)
        return true;
    // Bound before the privilege drop, which takes the right to give the socket its group;
    // connections are refused until the servers are up. Without it the boards are still served.
    if (!Control.IsOpen())
        Control.Open(KControlServer::ConfiguredPath());
    if (RestrictPrivileges) {
        // Before anything starts a thread: each thread keeps the capabilities it was born with.
        RestrictPrivileges = false;
        try {
            DropPrivileges();
        } catch (const std::exception& e) {
            // Fatal: an operator who relies on the service running without root's other
            // powers is told at once ("Unable to start: ...", status 70) rather than finding
            // out later that it ran with all of them on the boards' network.
            ErrorText = e.what();
            Control.Close();
            return false;
        }
    }
    try {
        basekit::Initialize();
        BootServer.SetNotifier(&BootNotifier);
        TftpServer.SetNotifier(&TftpNotifier);

        const config::TAVOSettings settings = config::KConfig<config::TAVOCfg, 0>::instance()->Copy();
        std::list<KNETInterfaceEx> interfaces;
        KNETInterface::FindInterfaces(settings.Interfaces, interfaces);
        {
            std::lock_guard<std::mutex> lock(StatusMutex);
            Served.clear();
            for (const KNETInterfaceEx& i : interfaces)
                Served.push_back(std::string(i.Address.c_str()) + "/" + i.NetMask.c_str());
        }

        Logger.Trace("Starting BootServer...");
        if (BootServer.Start(interfaces, static_cast<int>(settings.BootP.RxPort),
                             static_cast<int>(settings.BootP.TxPort)) != 0)
            Logger.Error("Failed to start BootServer");

        Logger.Trace("Starting TFTP Server...");
        if (TftpServer.Start(interfaces, static_cast<int>(settings.Tftp.Port), MaxTftpClients) != 0)
            Logger.Error("Failed to start TFTP Server");

        Logger.Trace("Starting TimeServer...");
        if (TimeServer.Start(interfaces, KConfigRules::TimePort) != 0)
            Logger.Error("Failed to start TimeServer");

        KNETInterface::StartAddressPolling(this, Logger);
        Control.Serve();
        // Not a board's concern: a port it cannot have is logged and the servers run on.
        Metrics.Start(settings.Metrics.HttpPort);
        if (!Restarting) {
            // The servers are up: `systemctl start` may return, boards can boot.
            KSystemdNotifier& notifier = KSystemdNotifier::Process();
            notifier.SetStatusSource([this] { return StatusLine(); });
            notifier.Ready();
            if (notifier.Enabled() && !Watchdog.IsRunning())
                Watchdog.StartServers({[this](KThreadLifetimes::Token&) { Watch(); }});
        }
        return true;
    } catch (const std::exception& e) {
        const char* text = e.what();
        ErrorText = text ? text : "";
        // A failed first start ends the process: what did start (the log reload thread, maybe
        // the BOOTP server) must end before main returns, or it would run on into the static
        // destructors. A failed restart keeps what runs; the next address change retries.
        if (!Restarting) {
            Control.Close();
            try {
                StopServers();
            } catch (const std::exception&) {
                // The start's reason is the one to report; the process exits anyway.
            }
        }
        return false;
    }
}

void TAVOService::DropPrivileges()
{
    // The daemon stays uid 0 and owns its pid file, logs, core and firmware directories, so
    // writing them needs no capability. Reading and writing other users' files does, and is
    // exactly what a compromised server must not do.
    const KCapabilities kept{
        // TFTP (69) and time (37) are bound again at every restart after an address change.
        CAP_NET_BIND_SERVICE,
        // The address probe opens a raw ICMP socket for each board it is about to answer.
        CAP_NET_RAW,
        // The servers' threads run SCHED_FIFO priority 1 (without it they fall back to the
        // default scheduler and say so).
        CAP_SYS_NICE,
    };
    const uint64_t left = kept.Restrict();
    if (left != 0)
        Log(LOG_WARNING, fstring("Capabilities %#llx stay in the bounding set: dropping them needs CAP_SETPCAP; "
                                 "no-new-privileges keeps them unusable",
                                 static_cast<unsigned long long>(left)));
}

void TAVOService::StopServers()
{
    // All three are asked first and waited for afterwards, so their shutdown times
    // overlap instead of adding up.
    BootServer.Stop();
    TimeServer.Stop();
    TftpServer.Stop();
    TimeServer.WaitTermination();
    BootServer.WaitTermination();
    TftpServer.WaitTermination();
    // The log reload thread first: it is what starts configuration reload passes.
    basekit::Finalize();
    if (!config::KConfigReloader::WaitAsyncReloads(3000))
        Logger.Warning("A configuration reload pass is still running.");
}

bool TAVOService::OnStop()
{
    bool stopPath;
    {
        basekit::KLockGuard guard(LifeMutex);
        // Only Restart calls OnStop with Restarting set (it holds LifeMutex meanwhile); every
        // other caller is the stop path, after which no restart may run.
        stopPath = !Restarting;
        if (stopPath)
            Stopping = true;
    }
    // The process exits after the stop path, so the polling thread must be gone first, or it
    // would run on into the static destructors. Outside the lock: a restart the poller is
    // about to begin then takes the lock, finds Stopping set and returns, instead of the two
    // waiting on each other.
    if (stopPath) {
        KSystemdNotifier::Process().Stopping();
        Watchdog.Stop();
        Watchdog.WaitIdle(KThreadLifetimes::After(2000));
        KNETInterface::StopAddressPolling();
        Metrics.Stop();
        Control.Close();
    }
    basekit::KLockGuard guard(LifeMutex);
    try {
        StopServers();
        return true;
    } catch (const std::exception& e) {
        const char* text = e.what();
        ErrorText = text ? text : "";
        return false;
    }
}

void TAVOService::Restart()
{
    basekit::KLockGuard guard(LifeMutex);
    if (Stopping)
        return;
    KFlagScope restarting(Restarting);
    OnStop();
    if (!OnStart(std::vector<kstring>()))
        Logger.Error("Restart failed: %s", ErrorText.c_str());
}

std::string TAVOService::StatusLine()
{
    const KCounters& counts = KCounters::Process();
    size_t interfaces;
    {
        std::lock_guard<std::mutex> lock(StatusMutex);
        interfaces = Served.size();
    }
    const KBoardActivity::Summary boards = KBoardActivity::Process().Summarize();
    return fstring("%zu boards booted, %zu booting, %zu failing; %llu transfers completed, %llu failed; "
                   "%zu interfaces served",
                   boards.Booted, boards.Booting, boards.Failing,
                   static_cast<unsigned long long>(counts.Value(KCounters::TftpTransfersCompleted)),
                   static_cast<unsigned long long>(counts.Value(KCounters::TftpTransfersFailed)), interfaces)
        .c_str();
}

void TAVOService::Watch()
{
    using Clock = std::chrono::steady_clock;
    const KSystemdNotifier& notifier = KSystemdNotifier::Process();
    // Pings at half the time-out, each only once every running receive loop has turned since
    // the last one: a loop that hangs stops them, and systemd restarts the service. Loops
    // that do not run (servers restarting after an address change) are not waited for.
    const Clock::duration half = std::chrono::microseconds(notifier.WatchdogUsec() / 2);
    const Clock::duration statusEvery = std::chrono::seconds(10);
    auto beats = [this] {
        return std::array<uint64_t, 3>{BootServer.Heartbeat(), TftpServer.Heartbeat(), TimeServer.Heartbeat()};
    };
    auto loops = [this] {
        return std::array<int, 3>{BootServer.ReceiveLoops(), TftpServer.ReceiveLoops(), TimeServer.ReceiveLoops()};
    };
    // A loop that has not beaten yet is looked at again a second later: the loops wake at
    // least every 2 s, so a healthy daemon pings well before the time-out.
    const Clock::duration retry = std::chrono::seconds(1);
    std::array<uint64_t, 3> seen = beats();
    const bool watched = notifier.WatchdogUsec() != 0;
    Clock::time_point nextPing = Clock::now() + half;
    Clock::time_point nextStatus = Clock::now() + statusEvery;
    while (Watchdog.IsRunning()) {
        // Asleep until the next thing is due, not polling: an idle daemon wakes rarely.
        const Clock::time_point due = watched ? std::min(nextPing, nextStatus) : nextStatus;
        Watchdog.WaitUntil(due, [this] { return !Watchdog.IsRunning(); });
        if (!Watchdog.IsRunning())
            break;
        const Clock::time_point now = Clock::now();
        if (watched && now >= nextPing) {
            const std::array<uint64_t, 3> current = beats();
            const std::array<int, 3> running = loops();
            bool alive = true;
            for (size_t i = 0; i < current.size(); ++i)
                alive = alive && (running[i] == 0 || current[i] != seen[i]);
            if (alive) {
                notifier.Send("WATCHDOG=1");
                seen = current;
            }
            nextPing = now + (alive ? half : retry);
        }
        if (now >= nextStatus) {
            notifier.SendStatus();
            nextStatus = now + statusEvery;
        }
    }
}

KControlServer::Status TAVOService::ControlStatus()
{
    KControlServer::Status s;
    s.Version = TAVO_VERSION;
    s.UptimeSeconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - Started).count();
    s.DevicesFile = config::TAVODevs::FilePath().c_str();
    struct stat st {};
    if (::stat(s.DevicesFile.c_str(), &st) == 0)
        s.DevicesModified = st.st_mtime;
    // The table as the BOOTP server last loaded it; loaded here at most once, before the
    // first request (a file that does not load is reported by the servers, not here).
    try {
        s.Boards = static_cast<long long>(config::KConfig<config::TAVODevs, 0>::instance()->Boards());
    } catch (const std::exception&) {
    }
    config::KConfigReloader::LastReload(s.LastReload, s.LastReloadOk);
    {
        std::lock_guard<std::mutex> lock(StatusMutex);
        s.Interfaces = Served;
    }
    s.BootpUp = BootServer.IsRunning();
    s.TftpUp = TftpServer.IsServing();
    s.TimeUp = TimeServer.IsRunning();
    s.Transfers = TftpServer.Transfers();
    s.TransferLimit = MaxTftpClients;
    s.RequestThreads = BootServer.RequestThreads();
    s.RequestThreadLimit = BootServer.RequestThreadLimit();
    return s;
}

KControlServer::Boards TAVOService::ControlBoards()
{
    std::map<unsigned, std::string> configured;
    std::set<unsigned> replacements;
    try {
        const config::DevicesTables devices = config::KConfig<config::TAVODevs, 0>::instance()->Copy();
        for (const auto& machine : devices.machines)
            configured.emplace(machine.first, machine.second.IP);
        for (const auto& replacement : devices.replacements)
            replacements.insert(replacement.first);
    } catch (const std::exception&) {
        // A devices file that does not load configures no board: only strangers are shown.
    }
    return KBoardActivity::Process().Rows(configured, replacements);
}
