#pragma once
// The BOOTP server of the NDX boards: recognises a board by the serial in its hardware address,
// validates its identification string, finds it in the devices configuration (directly or as
// the replacement of a configured board), probes the address it is about to hand out and
// broadcasts the reply on every interface. It also warns when another server answers one of
// its boards.
#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Basekit/KLogBudget.h"
#include "Basekit/KLogger.h"
#include "Basekit/KThreadMutex.h"
#include "Basekit/kstring.h"
#include "Tools/TAVO/KBoardActivity.h"
#include "Tools/TAVO/KBOOTPDecision.h"
#include "Tools/TAVO/KBOOTPMachine.h"
#include "Tools/TAVO/KBOOTPNotifier.h"
#include "Tools/TAVO/KCounters.h"
#include "Tools/TAVO/KNDXIdentification.h"
#include "Tools/TAVO/KNETInterfaceEx.h"
#include "Basekit/KThreadLifetimes.h"
#include "Tools/TAVO/KUDPSock.h"
#include "Tools/TAVO/TAVODevs.h"

class KBOOTPServer {
public:
    using KSlotTypes = KNDXSlotTypes;

    // A datagram handed to a request thread.
    struct RequestParameters {
        unsigned char Packet[1536];
        int Length = 0;
        KUDPSock* SourceSocket = nullptr; // the request socket, or null for the reply socket
        KNETInterfaceEx Interface;
        // Keeps SourceSocket open until this request's reply is sent, even when the server
        // thread has ended meanwhile.
        std::shared_ptr<KUDPSock> SocketKeeper;
    };

    // One request log entry.
    struct KLogMapAux {
        unsigned int Time = 0; // seconds since the epoch of the board's latest registration
        kstring Info;          // additional info text, or "ERROR"
    };

    KBOOTPServer();
    virtual ~KBOOTPServer();
    KBOOTPServer(const KBOOTPServer&) = delete;
    KBOOTPServer& operator=(const KBOOTPServer&) = delete;

    // 0 started; 1 already running or the server thread could not be started; 5 no interface.
    int Start(std::list<KNETInterfaceEx> interfaces, int rxPort, int txPort);
    // Asks the server thread to end; 0 when it was running, 1 otherwise. Does not wait.
    int Stop();
    // Stops if needed and waits up to 3 s for the server thread.
    void WaitTermination();
    void SetNotifier(KBOOTPNotifier* notifier);
    // For the operators' status: whether the server runs, its request threads and their bound.
    bool IsRunning() const { return Threads.IsRunning(); }
    // The receive loops' heartbeat, moved at each turn (they wake at least every 2 s), and how
    // many loops run now: the service's watchdog expects only running loops to beat.
    uint64_t Heartbeat() const { return Beats.load(std::memory_order_relaxed); }
    int ReceiveLoops() { return Threads.Count(KThreadLifetimes::Server); }
    int RequestThreads() { return Threads.Count(KThreadLifetimes::Worker); }
    int RequestThreadLimit() const { return static_cast<int>(MaxRequestThreads.load()); }

    // True when the 4 bytes (network order) are the address of one of the server's interfaces.
    bool IsThisIPMine(const unsigned char* address);
    // The first interface on the machine's subnet; three empty strings (and an Error) when none.
    KNETInterfaceEx FindSuitableInterface(const KBOOTPMachine& machine);

    // Identification strings (see KNDXIdentification).
    kstring GetAddInfoString(unsigned int serial, std::string info) const;
    KSlotTypes ProcessSlotString(std::string slots, unsigned int index, unsigned int serial) const;
    static bool isValidNDXSlotOrder(unsigned int first, unsigned int second);
    static bool isValidNDXSlotOrder(unsigned int slot0, unsigned int slot1, unsigned int slot2);
    const std::map<std::string, KSlotTypes>& SlotTypes() const { return Identification.SlotTypes(); }

    // Board identity: "0A:3D:91:12:34:56" <-> 1193046.
    static kstring ByteArray2MAC(const unsigned char* bytes, unsigned int length, char separator);
    static unsigned int MAC2Serial(const kstring& mac);

    // Decodes and records a board's identification string; false drops the request.
    // Identification errors are logged at most once per board every two minutes; those of
    // boards the devices configuration does not know also pass the log budget.
    bool RegisterSerialRequest(unsigned int serial, std::string info);
    // Empties the request log file.
    void ResetSerialRequests();
    // The request log file; empty (no file) unless set.
    void SetRequestLogPath(const kstring& path);

    // Thread bodies and the request path.
    void ServerThread(KNETInterfaceEx iface);
    void CreateProcessRequestThread(const unsigned char* data, int length, std::shared_ptr<KUDPSock> socket,
                                    KNETInterfaceEx iface);
    void ProcessRequest(const unsigned char* packet, int length, KUDPSock* socket, KNETInterfaceEx iface);

    // The BOOTP logger (tavo.log, name "BOOTP").
    static KLogger Logger;

protected:
    // Everything the decision part settles for a request that is to be answered.
    struct PreparedReply {
        unsigned int Serial = 0;
        kstring Client; // hardware address text, the notifier's client name
        KBOOTPMachine Machine;
        KNETInterfaceEx Interface; // the interface on the board's subnet
        unsigned char Reply[247] = {};
    };

    // The request path up to the address probe: checks, identification register, configuration
    // load and the decision (KBOOTPDecision) with its log lines; also the reaction to other
    // servers' replies. True when out holds a reply to probe and send. Never touches the network.
    bool PrepareReply(const unsigned char* packet, int length, bool fromRequestSocket, PreparedReply& out);

    // The boards as configured now: reloads the devices configuration. Throws std::exception.
    virtual config::DevicesTables LoadDevices();

    // Sets the interface list without starting anything (the decision part alone).
    void UseInterfaces(const std::list<KNETInterfaceEx>& interfaces);

private:
    void Notify(const std::string& client, KBOOTStatus status);
    // The lives of the server thread and of a request thread, with what their failures log.
    void RunServerThread(const KNETInterfaceEx& iface);
    void RunRequest(RequestParameters& parameters);
    // The log line of a decision (the replacement warning, the drop's line), if it has one.
    void Report(const KBOOTPDecision& decision, const KBOOTPPacket& packet);
    // Counts a datagram that gets no reply and, for a board's request (serial not 0), shows why
    // on its row. Always false, for the request path's returns.
    bool Dropped(KBOOTPDecision::Drop reason, unsigned int serial = 0);
    bool WorthAThread(const unsigned char* data, int length, bool fromRequestSocket,
                      const std::vector<uint32_t>& ownAddresses);
    bool AddressInUse(unsigned int serial, const KBOOTPMachine& machine);
    void SendReply(const PreparedReply& prepared, KUDPSock* socket);
    std::map<unsigned int, KLogMapAux> ReadRequestLog(unsigned int now) const;
    bool WriteRequestLog(const std::map<unsigned int, KLogMapAux>& entries) const;
    bool RegisterSerialRequest(unsigned int serial, const std::string& info, bool configured);
    bool IsConfigured(unsigned int serial);
    void ForgetOldIdentErrors(unsigned int tick);

    KNDXIdentification Identification;

    // Guarded by ListMutex: the decision part of request processing and everything below.
    basekit::KThreadMutex ListMutex;
    std::map<unsigned int, unsigned int> IdentErrors; // serial -> tick of the last logged error (bounded)
    std::list<KNETInterfaceEx> Interfaces;
    int RxPort = 0;
    int TxPort = 0;
    kstring RequestLogPath;
    std::string DevicesStamp; // devices.yaml as last loaded without error (see LoadDevices)
    // The server thread's sockets are bound, or it has ended; Start waits for it.
    std::atomic<bool> ServerReady {false};
    std::atomic<unsigned int> MaxRequestThreads {0}; // set by Start, read at dispatch

    // Held around every notifier call; the pointer is also set under it.
    basekit::KThreadMutex NotifierMutex;
    KBOOTPNotifier* Notifier = nullptr; // not owned

    // Every datagram received, and what became of it: a reply or one drop reason.
    KCounters& Counters = KCounters::Process();
    // What each board's requests came to, for the operators' view of the boards.
    KBoardActivity& Activity = KBoardActivity::Process();

    // Held around every reply send.
    basekit::KThreadMutex SendMutex;

    // InUseLog has a lock of its own: it is used after the address probe, when ListMutex has
    // been released, and taking ListMutex there would make every probe result wait behind
    // other boards' configuration reloads.
    basekit::KThreadMutex InUseMutex;
    std::map<unsigned int, unsigned int> InUseLog; // serial -> tick of the last Error

    // Lines that datagrams from unknown boards or other hosts cause; a configured board's
    // own lines never pass through it.
    KLogBudget Budget;

    // The server thread (Server), the request threads (Worker) and the running flag.
    std::atomic<uint64_t> Beats{0};
    KThreadLifetimes Threads;
};
