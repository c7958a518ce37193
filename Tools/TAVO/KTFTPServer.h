#pragma once
// Serves the firmware directory to the configured boards by TFTP read requests: octet mode,
// 512-byte blocks, no options, one transfer per board at a time, each on its own thread and
// socket. Also writes the generated board files and, in alternative-path mode, copies the
// firmware directory for another service instead of serving it.
#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <set>
#include <string>

#include "Basekit/KLogBudget.h"
#include "Basekit/KLogger.h"
#include "Basekit/KThreadMutex.h"
#include "Basekit/kstring.h"
#include "Tools/TAVO/KBoardActivity.h"
#include "Tools/TAVO/KCounters.h"
#include "Tools/TAVO/KNETInterfaceEx.h"
#include "Basekit/KThreadLifetimes.h"
#include "Tools/TAVO/KTFTPNotifier.h"
#include "Tools/TAVO/KTFTPTransferHost.h"

class KUDPSock;
class KTFTPSubProcess;

class KTFTPServer : public KTFTPTransferHost {
public:
    // Cursor over a request datagram that yields its NUL-terminated strings.
    struct TftpStrParser {
        const unsigned char* Data = nullptr;
        int Position = 0; // next byte to read
        int Size = 0;     // datagram length

        // The text up to the next NUL within the datagram, moving past that NUL; an empty
        // text without moving when there is no NUL left.
        std::string GetNextString();
    };

    KTFTPServer();
    // Stops the server and waits for its threads, which point back at this object.
    virtual ~KTFTPServer();
    KTFTPServer(const KTFTPServer&) = delete;
    KTFTPServer& operator=(const KTFTPServer&) = delete;

    // Writes the generated board files, then serves (or, with an alternative path, copies)
    // the firmware directory. 0 started, 1 already running or a thread could not be started,
    // 5 empty interface list. Errors writing the board files are thrown.
    int Start(std::list<KNETInterfaceEx> interfaces, int port, int maxClients);
    // 0 if it was running, 1 if already stopped. Threads notice within 2 s.
    int Stop();
    // Stops if needed and waits (bounded) for the transfer threads, then the server threads.
    void WaitTermination();
    void SetNotifier(KTFTPNotifier* notifier);
    // Transfers running or starting, for the operators' status.
    int Transfers() { return Threads.Count({KThreadLifetimes::Worker, KThreadLifetimes::Starting}); }
    // Clears the busy mark of a board: 0 if it had one, 1 if not.
    int FreeMachine(std::string address);
    void NotifyClient(const std::string& client, KTFTPStatus status, const std::string& detail) override;
    // The host of the transfers: the running flag, the TFTP log and its budget, the confined opening.
    bool IsServing() const override;
    // The receive loops' heartbeat, moved at each turn (they wake at least every 2 s), and how
    // many loops run now: the service's watchdog expects only running loops to beat.
    uint64_t Heartbeat() const { return Beats.load(std::memory_order_relaxed); }
    int ReceiveLoops() { return Threads.Count(KThreadLifetimes::Server); }
    void TransferLog(KLogLevel level, const std::string& line) override;
    bool AllowLine(const std::string& client, const char* kind, KLogLevel level) override;
    int OpenRequested(const std::string& path) override;
    void SendErrorPacket(KUDPSock* socket, unsigned char code, std::string text, sockaddr_in* to);

    // The generated board files system.yaml, klog.cfg and replacements.yaml; throws on error.
    void CreateSpecialCases();
    void CreateReplacementsYAML();
    // Alternative-path mode: copies the firmware directory there; failures are only logged.
    void CopyFirmwareFiles();
    // Maps a requested name through the firmware map. false (after the warning) when the
    // result may leave the firmware directory.
    // client is the requesting board, for the log budget of a refusal.
    bool MapFirmwareName(const std::map<kstring, kstring>& firmwares, std::string& name,
                         const std::string& client = std::string());
    // Opens name (relative, a leading "/" ignored) for reading beneath the directory: never
    // anything outside it (a link that leads out is refused, one that stays inside is
    // followed), and only a regular file. The descriptor, or -1 with errno set.
    static int OpenBeneath(int directory, const std::string& name);
    // OpenBeneath in the firmware directory.
    int OpenFirmwareFile(const std::string& name) const;

    void ServerThread(KNETInterfaceEx iface);
    void ProcessRequest(const unsigned char* data, int length, std::string localAddress, sockaddr_in* from);
    void ProtocolThread(KTFTPSubProcess* subProcess);

    const kstring& GetFirmwarePath() const { return FirmwarePath; }

protected:
    // Starts the detached transfer thread, which then owns the record; false (the record
    // still the caller's) when no thread could be started. Replaced where no traffic may go out.
    virtual bool StartTransfer(KTFTPSubProcess* transfer);

private:
    // A server thread's life: its loop, and what is logged and notified when the loop fails.
    void RunServerThread(const KNETInterfaceEx& iface);
    // A transfer thread's life; the token counts it as starting until it begins.
    void RunTransfer(std::unique_ptr<KTFTPSubProcess> transfer, KThreadLifetimes::Token& token);

    // Outcome of parsing an accepted request, for the notification made after the lock.
    enum class Acceptance { Started, Dropped, NoFileName };
    Acceptance AcceptRequest(const unsigned char* data, int length, const std::string& localAddress,
                             const std::string& address, unsigned short port);
    // Whether address belongs to a configured board, reading devices.yaml (and rewriting
    // replacements.yaml) only when the file changed since the last look.
    bool IsKnownBoard(const std::string& address);
    std::map<std::string, bool> Machines; // busy mark per board address; StateMutex
    basekit::KThreadMutex StateMutex;
    basekit::KThreadMutex NotifierMutex;  // held around every notifier call
    KTFTPNotifier* Notifier = nullptr;    // not owned; StateMutex
    int Port = 0;
    int MaxClients = 0;
    KLogger Logger;
    kstring FirmwarePath; // "<work directory>/data/am17/"
    // Lines that a datagram from an unknown or refused source causes.
    KLogBudget Budget;
    // Every request and what became of it (one refusal or a started transfer), and how the
    // transfers ended.
    KCounters& Counters = KCounters::Process();
    // Each board's phase and progress, for the operators' view of the boards.
    KBoardActivity& Activity = KBoardActivity::Process();
    // devices.yaml as the request path last read it: its stamp (empty when it could not be
    // read) and the addresses of its boards. DevicesMutex, taken after StateMutex if both.
    basekit::KThreadMutex DevicesMutex;
    bool DevicesRead = false;
    std::string DevicesStamp;
    std::set<std::string> KnownAddresses;
    // The server threads, and the transfer threads as Starting until they begin, then as Worker.
    std::atomic<uint64_t> Beats{0};
    KThreadLifetimes Threads;
};
