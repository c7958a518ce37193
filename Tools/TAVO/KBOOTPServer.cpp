#include "Tools/TAVO/KBOOTPServer.h"

#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <poll.h>
#include <vector>

#include "Basekit/KException.h"
#include "Basekit/KHostSystem.h"
#include "Tools/TAVO/ICMPEcho.h"
#include "Tools/TAVO/KConfig.h"

KLogger KBOOTPServer::Logger(klsTAVO, kloTavoBOOTP, "BOOTP", "tavo", 0x10, false);

namespace {

const char* const Where = "Tools/TAVO/KBOOTPServer";
const int BufferSize = 1536;
const unsigned int RequestThreadsPerInterface = 10;
const unsigned int IdentErrorQuietMs = 119999;   // two minutes
// Far more boards than a site has, yet small: whoever sends requests under made-up serials
// cannot grow the map beyond this, even within the two-minute window.
const size_t MaxIdentErrors = 4096;
const unsigned int InUseErrorQuietMs = 900000;   // 15 minutes
const unsigned int RequestLogMaxAge = 7775999;   // 90 days, in seconds
const unsigned int ProbeTimeoutMs = 500;

uint32_t Address(const std::string& text)
{
    return inet_addr(text.c_str());
}

// Board-supplied text reaches log lines and the line-oriented request log: control bytes
// would forge or split lines there.
std::string Printable(const std::string& text)
{
    std::string out(text);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    return out;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The hardware address of a datagram that may be a BOOTP message, to name its sender in logs.
std::string SenderOf(const unsigned char* data, int length)
{
    if (!data || length < 34)
        return "unknown";
    return KBOOTPServer::ByteArray2MAC(data + 28, data[2], ':');
}

// The hardware address of an NDX board's serial.
std::array<unsigned char, 6> MacOf(unsigned int serial)
{
    return {0x0A, 0x3D, 0x91, static_cast<unsigned char>(serial >> 16), static_cast<unsigned char>(serial >> 8),
            static_cast<unsigned char>(serial)};
}

// Two characters as a hexadecimal byte; text that does not start with a digit reads as 0.
unsigned int HexPair(const std::string& text, size_t at)
{
    int high = HexDigit(text[at]);
    if (high < 0)
        return 0;
    int low = HexDigit(text[at + 1]);
    return low < 0 ? static_cast<unsigned int>(high) : static_cast<unsigned int>(high * 16 + low);
}

} // namespace

KBOOTPServer::KBOOTPServer() = default;

KBOOTPServer::~KBOOTPServer()
{
    Stop();
    // Threads still running would use this object after it is gone: their bounded work (one
    // receive timeout, one probe, one configuration reload) is waited for.
    if (!Threads.WaitIdle(KThreadLifetimes::After(10000)))
        Logger.Warning("Terminating with %d thread running.",
                       Threads.Count({KThreadLifetimes::Server, KThreadLifetimes::Worker}));
}

// ---------------------------------------------------------------------------------------------
// Life cycle

int KBOOTPServer::Start(std::list<KNETInterfaceEx> interfaces, int rxPort, int txPort)
{
    {
        basekit::KLockGuard lock(ListMutex);
        if (Threads.IsRunning())
            return 1;
        RxPort = rxPort;
        TxPort = txPort;
        if (interfaces.empty())
            return 5;
        for (const KNETInterfaceEx& iface : interfaces)
            Logger.Notice("Listening on interface: %s", iface.Address.c_str());
        Interfaces = interfaces;
        MaxRequestThreads = RequestThreadsPerInterface * static_cast<unsigned int>(interfaces.size());
        ServerReady = false;

        // One server thread serves every interface: its sockets are bound to all addresses.
        const KNETInterfaceEx first = interfaces.front();
        if (Threads.StartServers({[this, first](KThreadLifetimes::Token&) { RunServerThread(first); }}) != 0) {
            Stop();
            return 1;
        }
    }
    // Return once the sockets are bound (or the thread gave up), so that a board asking right
    // after the start is heard; bounded in case the thread is slow to be scheduled.
    Threads.WaitUntil(KThreadLifetimes::After(2000), [this] { return ServerReady.load(); });
    return 0;
}

int KBOOTPServer::Stop()
{
    Logger.Notice("TAVO is shutting down");
    basekit::KLockGuard lock(ListMutex);
    return Threads.Stop();
}

void KBOOTPServer::WaitTermination()
{
    if (Threads.IsRunning())
        Stop();
    if (!Threads.WaitIdle(KThreadLifetimes::After(3000), {KThreadLifetimes::Server}))
        Logger.Warning("Terminating with %d thread running.", Threads.Count(KThreadLifetimes::Server));
}

void KBOOTPServer::SetNotifier(KBOOTPNotifier* notifier)
{
    basekit::KLockGuard lock(ListMutex);
    basekit::KLockGuard notifierLock(NotifierMutex);
    Notifier = notifier;
}

void KBOOTPServer::Notify(const std::string& client, KBOOTStatus status)
{
    basekit::KLockGuard lock(NotifierMutex);
    if (Notifier)
        Notifier->ClientStatus(client, status);
}

void KBOOTPServer::UseInterfaces(const std::list<KNETInterfaceEx>& interfaces)
{
    basekit::KLockGuard lock(ListMutex);
    Interfaces = interfaces;
}

// ---------------------------------------------------------------------------------------------
// Threads

void KBOOTPServer::RunServerThread(const KNETInterfaceEx& iface)
{
    _NotifyThreadInit(Where, "ThreadStarter", 131);
    try {
        ServerThread(iface);
    } catch (const std::exception& e) {
        Logger.Error("Error in server thread > %s", e.what());
        Notify(std::string(), bsServerError);
    } catch (...) {
        Logger.Error("Critical error in server thread");
        Notify(std::string(), bsServerError);
    }
    // A thread that gave up before its sockets were bound ends Start's wait as well.
    ServerReady = true;
    Threads.Notify();
}

void KBOOTPServer::ServerThread(KNETInterfaceEx iface)
{
    int rxPort, txPort;
    std::vector<uint32_t> ownAddresses;
    {
        basekit::KLockGuard lock(ListMutex);
        rxPort = RxPort;
        txPort = TxPort;
        for (const KNETInterfaceEx& entry : Interfaces)
            ownAddresses.push_back(Address(entry.Address));
    }

    // The request socket is shared with the request threads, which send their replies on it.
    auto requests = std::make_shared<KUDPSock>(std::string(), rxPort, true);
    KUDPSock replies(std::string(), txPort, true);
    if (requests->SetBroadCast())
        throw basekit::KException(Where, 222, "Failed to set broadcast mode for BOOTP socket ip %s port %i",
                                  iface.Address.c_str(), rxPort);
    if (replies.SetBroadCast())
        throw basekit::KException(Where, 229, "Failed to set broadcast mode for BOOTP socket ip %s port %i",
                                  iface.Address.c_str(), txPort);
    ServerReady = true;
    Threads.Notify();

    std::string error;
    unsigned char buffer[BufferSize];
    while (Threads.IsRunning() && error.empty()) {
        Beats.fetch_add(1, std::memory_order_relaxed);
        Budget.Flush(Logger);
        // Both sockets are waited on together: alternating fixed waits on each would cap the
        // server at a few requests a second during a power-up storm. The one-second limit keeps
        // the reaction to Stop.
        pollfd wait[2] = {{requests->Socket, POLLIN, 0}, {replies.Socket, POLLIN, 0}};
        int ready = ::poll(wait, 2, 1000);
        if (!Threads.IsRunning())
            break;
        if (ready < 0) {
            if (errno != EINTR)
                Logger.Warning("Timeout waiting for packet[ %i ]", ready);
            continue;
        }
        sockaddr_in from;
        if (wait[0].revents) {
            int length = requests->Receive(buffer, sizeof(buffer), &from, 0);
            if (length >= 0)
                Counters.Add(KCounters::BootpReceived);
            if (length == -2)
                Logger.Warning("Timeout waiting for packet[ %i ]", requests->LastError);
            else if (length == -3)
                error = fstring("Critical socket error waiting for packet[%d]", requests->LastError);
            else if (length >= 0 && WorthAThread(buffer, length, true, ownAddresses))
                CreateProcessRequestThread(buffer, length, requests, iface);
        }
        if (wait[1].revents && Threads.IsRunning()) {
            int length = replies.Receive(buffer, sizeof(buffer), &from, 0);
            if (length >= 0)
                Counters.Add(KCounters::BootpReceived);
            if (length >= 0 && WorthAThread(buffer, length, false, ownAddresses))
                CreateProcessRequestThread(buffer, length, nullptr, iface);
        }
    }

    Threads.WaitIdle(KThreadLifetimes::After(3000), {KThreadLifetimes::Worker});
    if (!error.empty())
        throw basekit::KException(Where, 295, "%s", error.c_str());
}

bool KBOOTPServer::WorthAThread(const unsigned char* data, int length, bool fromRequestSocket,
                                const std::vector<uint32_t>& ownAddresses)
{
    // Datagrams that request processing would drop silently anyway are dropped here, so that
    // they cannot take request threads from boards: malformed ones, and our own replies, which
    // come back on the reply socket once per interface.
    using Drop = KBOOTPDecision::Drop;
    KBOOTPPacket packet;
    if (!packet.Read(data, static_cast<size_t>(length)))
        return Dropped(Drop::Malformed);
    if (MAC2Serial(ByteArray2MAC(packet.chaddr, packet.hlen, ':')) == 0)
        return Dropped(Drop::NotNDX);
    if (packet.op == 1)
        return fromRequestSocket || Dropped(Drop::ReplyPort);
    for (uint32_t own : ownAddresses)
        if (own == packet.siaddr)
            return Dropped(Drop::OwnReply);
    return true;
}

void KBOOTPServer::CreateProcessRequestThread(const unsigned char* data, int length, std::shared_ptr<KUDPSock> socket,
                                              KNETInterfaceEx iface)
{
    auto parameters = std::make_shared<RequestParameters>();
    parameters->Length = length < 0 ? 0 : (length > BufferSize ? BufferSize : length);
    if (data && parameters->Length > 0)
        std::memcpy(parameters->Packet, data, static_cast<size_t>(parameters->Length));
    parameters->SourceSocket = socket.get();
    parameters->SocketKeeper = std::move(socket);
    parameters->Interface = iface;
    const unsigned int limit = MaxRequestThreads;
    const KThreadLifetimes::Outcome outcome = Threads.Start(
        KThreadLifetimes::Worker, [this, parameters](KThreadLifetimes::Token&) { RunRequest(*parameters); }, limit);
    if (outcome == KThreadLifetimes::Outcome::Full) {
        Counters.Add(KCounters::BootpDroppedMaxThreads);
        const std::string sender = SenderOf(data, length);
        // A board's request: its row shows that it waits, though nobody looked it up.
        if (data && length > 0 && data[0] == 1)
            Activity.BootpNotLookedAt(MAC2Serial(sender.c_str()), sender, "max-threads");
        if (Budget.Allow(sender, "max threads", klWarning))
            Logger.Warning("Could not process request, max thread count reached (%d/%d)",
                           Threads.Count(KThreadLifetimes::Worker), static_cast<int>(limit));
    } else if (outcome == KThreadLifetimes::Outcome::Failed) {
        Counters.Add(KCounters::BootpDroppedThreadStart);
        Logger.Warning("Unable to start processing thread!");
    }
}

void KBOOTPServer::RunRequest(RequestParameters& parameters)
{
    _NotifyThreadInit(Where, "ProcessRequestThread", 339);
    try {
        ProcessRequest(parameters.Packet, parameters.Length, parameters.SourceSocket, parameters.Interface);
    } catch (const std::exception& e) {
        Counters.Add(KCounters::BootpDroppedException);
        if (Budget.Allow(SenderOf(parameters.Packet, parameters.Length), "exception", klWarning))
            Logger.Warning("Exception on ProcessRequestThread: %s", e.what());
    } catch (...) {
        Counters.Add(KCounters::BootpDroppedException);
        if (Budget.Allow(SenderOf(parameters.Packet, parameters.Length), "exception", klWarning))
            Logger.Warning("Unknown exception on ProcessRequestThread!");
    }
}

// ---------------------------------------------------------------------------------------------
// Request processing

void KBOOTPServer::ProcessRequest(const unsigned char* packet, int length, KUDPSock* socket, KNETInterfaceEx)
{
    PreparedReply prepared;
    if (!PrepareReply(packet, length, socket != nullptr, prepared))
        return;
    Activity.BootpAssigned(prepared.Serial, prepared.Machine.IP, prepared.Interface.Address.c_str());
    Notify(prepared.Client, bsAddressAssigned);
    if (AddressInUse(prepared.Serial, prepared.Machine)) {
        Dropped(KBOOTPDecision::Drop::AddressInUse, prepared.Serial);
        return;
    }
    SendReply(prepared, socket);
}

bool KBOOTPServer::Dropped(KBOOTPDecision::Drop reason, unsigned int serial)
{
    Counters.Add(KCounters::Dropped(reason));
    if (serial != 0)
        Activity.BootpDropped(serial, KBOOTPDecision::Name(reason));
    return false;
}

config::DevicesTables KBOOTPServer::LoadDevices()
{
    // Edits of devices.yaml apply to the next request. The file is parsed again only when it
    // changed since the last good load: a full reload costs tens of milliseconds for a few
    // hundred boards, under the decision lock, and would cap a power-up storm at a few dozen
    // boards a second. A failed load is retried (and reported) on every request.
    config::TAVODevs* devices = config::KConfig<config::TAVODevs, 0>::instance();
    const std::string stamp = basekit::file::Stamp(devices->Path());
    if (stamp.empty() || stamp != DevicesStamp) {
        DevicesStamp.clear();
        config::KConfig<config::TAVODevs, 0>::instance(true);
        DevicesStamp = stamp;
    }
    return devices->Copy();
}

bool KBOOTPServer::PrepareReply(const unsigned char* packet, int length, bool fromRequestSocket, PreparedReply& out)
{
    using Drop = KBOOTPDecision::Drop;
    KBOOTPDecision::Request request;
    // Only a board's own request has a row to show why it went unanswered.
    const auto dropRequest = [&](Drop reason, unsigned int serial) {
        return Dropped(reason, request.Packet.op == 1 ? serial : 0);
    };
    request.FromRequestSocket = fromRequestSocket;
    if (length < 0 || !request.Packet.Read(packet, static_cast<size_t>(length)))
        return Dropped(Drop::Malformed);
    const kstring client = ByteArray2MAC(request.Packet.chaddr, request.Packet.hlen, ':');

    KBOOTPDecision decision;
    {
        basekit::KLockGuard lock(ListMutex);
        const Drop screened = KBOOTPDecision::Screen(request, Interfaces);
        if (screened != Drop::None)
            return Dropped(screened);
        const unsigned int serial = KBOOTPDecision::SerialOf(request.Packet);
        // The configuration is read before the identification is registered, so that the
        // register knows whether the board is one of ours; a load failure is still reported
        // after the registration, as before.
        config::DevicesTables devices;
        std::string loadError;
        bool loaded = true;
        try {
            devices = LoadDevices();
        } catch (const std::exception& e) {
            loaded = false;
            loadError = e.what();
        }
        if (request.Packet.op == 1) {
            const bool known = loaded && (devices.machines.count(serial) || devices.replacements.count(serial));
            Activity.BootpRequest(serial, client.c_str(), known);
            if (!RegisterSerialRequest(serial, request.Packet.Identification, known))
                return dropRequest(Drop::Identification, serial);
        }
        if (!loaded) {
            if (Budget.Allow(client, "devices", klWarning))
                Logger.Warning("Could not load devices configuration (%s)", loadError.c_str());
            return dropRequest(Drop::DevicesUnloadable, serial);
        }
        decision = KBOOTPDecision::Decide(request, devices, Interfaces);
    }
    Report(decision, request.Packet);
    if (!decision.Answered())
        return dropRequest(decision.Reason, decision.Serial);
    std::memcpy(out.Reply, decision.Reply.data(), sizeof(out.Reply));
    out.Serial = decision.Serial;
    out.Client = client;
    out.Machine = decision.Machine;
    out.Interface = decision.Interface;
    return true;
}

void KBOOTPServer::Report(const KBOOTPDecision& decision, const KBOOTPPacket& packet)
{
    using Drop = KBOOTPDecision::Drop;
    const int serial = static_cast<int>(decision.Serial);
    if (decision.Replaced != 0) {
        const int replaced = static_cast<int>(decision.Replaced);
        Logger.Warning("Device %d is replacing device %d, be sure device %d is turned off", serial, replaced, replaced);
    }
    unsigned char server[4];
    std::memcpy(server, &packet.siaddr, 4);
    // Anyone can send replies (siaddr is whatever the sender wrote), so even the conflict
    // warning about one of our boards is budgeted, by the server address it names.
    const std::string claimed = fstring("%i.%i.%i.%i", server[0], server[1], server[2], server[3]);
    switch (decision.Reason) {
    case Drop::Conflict:
        if (Budget.Allow(claimed, "conflict", klWarning))
            Logger.Warning("BOOTP conflict, another server[%s] sent a reply to board %i!", claimed.c_str(), serial);
        break;
    case Drop::OtherServerReply:
        if (Budget.Allow(claimed, "other reply", klNotice))
            Logger.Notice("BOOTP server[%s] sent a reply to board %i", claimed.c_str(), serial);
        break;
    case Drop::NoAddress:
        Logger.Warning("Could not boot NDX serial %d, failed to obtain IP address from configuration", serial);
        break;
    case Drop::NoInterface:
        Logger.Error("Could not find a suitable interface to send address %s", decision.Machine.IP.c_str());
        break;
    case Drop::FirmwareNameTooLong:
        Logger.Error("Could not boot NDX serial %d, firmware name is %u characters long, the boot file field "
                     "holds at most %u",
                     serial, static_cast<unsigned int>(decision.Machine.Firmware.size()),
                     static_cast<unsigned int>(sizeof(packet.file) - 1));
        break;
    default: // the other drops are silent, or logged where they are decided
        break;
    }
}

bool KBOOTPServer::AddressInUse(unsigned int serial, const KBOOTPMachine& machine)
{
    const unsigned int probe = basekit::WaitForICMPEcho(machine.IP, ProbeTimeoutMs);
    using Probe = KBoardActivity::Probe;
    Activity.BootpProbed(serial, probe == 0 ? Probe::InUse : probe == 2 ? Probe::Free : Probe::NotMade);
    if (probe == 0) {
        const unsigned int now = KHostSystem::GetTick();
        KLogLevel level = klNotice;
        {
            basekit::KLockGuard lock(InUseMutex);
            auto last = InUseLog.find(serial);
            if (last == InUseLog.end()) {
                InUseLog[serial] = now;
                level = klError;
            } else if (now - last->second > InUseErrorQuietMs) { // elapsed ticks: safe across the 32-bit wrap
                last->second = now;
                level = klError;
            }
        }
        Logger.Log(level, "Could not start NDX serial %d: IP address %s is being used", static_cast<int>(serial),
                   machine.IP.c_str());
        return true;
    }
    // A probe that could not be made must not keep boards from booting.
    if (probe != 2)
        Logger.Warning("Unable to send ping message");
    {
        basekit::KLockGuard lock(InUseMutex);
        InUseLog.erase(serial);
    }
    Logger.Info("Starting NDX serial %d with IP %s", static_cast<int>(serial), machine.IP.c_str());
    return false;
}

void KBOOTPServer::SendReply(const PreparedReply& prepared, KUDPSock* socket)
{
    std::list<KNETInterfaceEx> interfaces;
    int txPort;
    {
        basekit::KLockGuard lock(ListMutex);
        interfaces = Interfaces;
        txPort = TxPort;
    }
    bool sent = false;
    auto sendTo = [&](const kstring& broadcast) {
        sockaddr_in to {};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(txPort));
        to.sin_addr.s_addr = Address(broadcast);
        int result;
        {
            basekit::KLockGuard lock(SendMutex);
            result = socket->Send(prepared.Reply, sizeof(prepared.Reply), &to);
        }
        if (result == static_cast<int>(sizeof(prepared.Reply)))
            sent = true;
        else
            Logger.Warning("Failed to send bootp response to %s", broadcast.c_str());
    };
    // Boards have no address yet: the reply is broadcast on their subnet, then once on every
    // interface in case the board sits behind another one.
    sendTo(prepared.Interface.BroadCast);
    for (const KNETInterfaceEx& iface : interfaces)
        sendTo(iface.BroadCast);
    Counters.Add(sent ? KCounters::BootpReplied : KCounters::BootpDroppedSendError);
    Activity.BootpReplied(prepared.Serial, sent);
    Notify(prepared.Client, sent ? bsReplySent : bsReplyFailed);
}

// ---------------------------------------------------------------------------------------------
// Interfaces

bool KBOOTPServer::IsThisIPMine(const unsigned char* address)
{
    if (!address)
        return false;
    uint32_t value;
    std::memcpy(&value, address, sizeof(value));
    basekit::KLockGuard lock(ListMutex);
    for (const KNETInterfaceEx& iface : Interfaces)
        if (Address(iface.Address) == value)
            return true;
    return false;
}

KNETInterfaceEx KBOOTPServer::FindSuitableInterface(const KBOOTPMachine& machine)
{
    {
        basekit::KLockGuard lock(ListMutex);
        if (const KNETInterfaceEx* iface = KBOOTPDecision::InterfaceFor(machine.IP, Interfaces))
            return *iface;
    }
    Logger.Error("Could not find a suitable interface to send address %s", machine.IP.c_str());
    return KNETInterfaceEx();
}

// ---------------------------------------------------------------------------------------------
// Identification strings and board identity

kstring KBOOTPServer::GetAddInfoString(unsigned int serial, std::string info) const
{
    return Identification.GetAddInfoString(serial, info);
}

KBOOTPServer::KSlotTypes KBOOTPServer::ProcessSlotString(std::string slots, unsigned int index,
                                                         unsigned int serial) const
{
    return Identification.ProcessSlotString(slots, index, serial);
}

bool KBOOTPServer::isValidNDXSlotOrder(unsigned int first, unsigned int second)
{
    return KNDXIdentification::isValidNDXSlotOrder(first, second);
}

bool KBOOTPServer::isValidNDXSlotOrder(unsigned int slot0, unsigned int slot1, unsigned int slot2)
{
    return KNDXIdentification::isValidNDXSlotOrder(slot0, slot1, slot2);
}

kstring KBOOTPServer::ByteArray2MAC(const unsigned char* bytes, unsigned int length, char separator)
{
    kstring text;
    if (!bytes || length < 6)
        return text;
    for (int i = 0; i < 6; ++i) {
        if (i != 0 && separator != '\0')
            text += separator;
        text.AppendFormat("%02X", bytes[i]);
    }
    return text;
}

unsigned int KBOOTPServer::MAC2Serial(const kstring& mac)
{
    size_t step;
    if (mac.size() == 17)
        step = 3; // pairs with a separator between them (the separator is not checked)
    else if (mac.size() == 12)
        step = 2;
    else
        return 0;
    unsigned int bytes[6];
    for (size_t i = 0; i < 6; ++i)
        bytes[i] = HexPair(mac, i * step);
    // Every NDX board's hardware address starts with 0A:3D:91; the rest is its serial.
    if (bytes[0] != 0x0A || bytes[1] != 0x3D || bytes[2] != 0x91)
        return 0;
    return bytes[3] * 65536 + bytes[4] * 256 + bytes[5];
}

bool KBOOTPServer::RegisterSerialRequest(unsigned int serial, std::string info)
{
    basekit::KLockGuard lock(ListMutex);
    return RegisterSerialRequest(serial, info, IsConfigured(serial));
}

bool KBOOTPServer::IsConfigured(unsigned int serial)
{
    try {
        config::DevicesTables devices = LoadDevices();
        return devices.machines.count(serial) || devices.replacements.count(serial);
    } catch (const std::exception&) {
        return false;
    }
}

bool KBOOTPServer::RegisterSerialRequest(unsigned int serial, const std::string& info, bool configured)
{
    basekit::KLockGuard lock(ListMutex);
    int offset = 0;
    const unsigned int now = static_cast<unsigned int>(KHostSystem::GetSecondsSinceEpoch(offset));
    std::map<unsigned int, KLogMapAux> entries = ReadRequestLog(now);
    bool outcome;
    try {
        kstring text = Identification.GetAddInfoString(serial, info);
        entries[serial] = KLogMapAux {now, text};
        IdentErrors.erase(serial);
        outcome = true;
    } catch (const std::exception& e) {
        const unsigned int tick = KHostSystem::GetTick();
        auto last = IdentErrors.find(serial);
        if (last != IdentErrors.end() && tick >= last->second && tick - last->second <= IdentErrorQuietMs)
            return false;
        if (last == IdentErrors.end() && IdentErrors.size() >= MaxIdentErrors)
            ForgetOldIdentErrors(tick);
        IdentErrors[serial] = tick;
        if (configured || Budget.Allow(ByteArray2MAC(MacOf(serial).data(), 6, ':'), "identification", klError))
            Logger.Error("%s", Printable(e.what()).c_str());
        entries[serial] = KLogMapAux {now, "ERROR"};
        outcome = false;
    } catch (...) {
        if (configured || Budget.Allow(ByteArray2MAC(MacOf(serial).data(), 6, ':'), "identification", klError))
            Logger.Error("Unknown error while processing info string.");
        return false;
    }
    // Without a request log the register only rate-limits: the request goes on.
    if (!WriteRequestLog(entries))
        return true;
    return outcome;
}

void KBOOTPServer::ForgetOldIdentErrors(unsigned int tick)
{
    // An entry outside its two-minute window silences nothing any more: dropping it changes no
    // outcome. Should the map still be full, the oldest entry goes: that board's next error is
    // logged (through the budget) a little early, which is better than unbounded growth.
    auto oldest = IdentErrors.end();
    for (auto entry = IdentErrors.begin(); entry != IdentErrors.end();) {
        if (tick < entry->second || tick - entry->second > IdentErrorQuietMs) {
            entry = IdentErrors.erase(entry);
            continue;
        }
        if (oldest == IdentErrors.end() || entry->second < oldest->second)
            oldest = entry;
        ++entry;
    }
    if (IdentErrors.size() >= MaxIdentErrors && oldest != IdentErrors.end())
        IdentErrors.erase(oldest);
}

void KBOOTPServer::SetRequestLogPath(const kstring& path)
{
    basekit::KLockGuard lock(ListMutex);
    RequestLogPath = path;
}

void KBOOTPServer::ResetSerialRequests()
{
    basekit::KLockGuard lock(ListMutex);
    if (!RequestLogPath.empty())
        std::ofstream(RequestLogPath, std::ios::trunc);
}

std::map<unsigned int, KBOOTPServer::KLogMapAux> KBOOTPServer::ReadRequestLog(unsigned int now) const
{
    std::map<unsigned int, KLogMapAux> entries;
    if (RequestLogPath.empty())
        return entries;
    std::ifstream in(RequestLogPath);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        // "time serial info...": a line without a serial field is not an entry.
        size_t first = line.find(' ');
        if (first == std::string::npos)
            continue;
        size_t second = line.find(' ', first + 1);
        const std::string serialText =
            line.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
        const unsigned int time = static_cast<unsigned int>(std::strtol(line.substr(0, first).c_str(), nullptr, 0));
        const unsigned int serial = static_cast<unsigned int>(std::strtol(serialText.c_str(), nullptr, 0));
        if (now - time > RequestLogMaxAge)
            continue;
        entries[serial] = KLogMapAux {time, second == std::string::npos ? kstring() : kstring(line.substr(second + 1))};
    }
    return entries;
}

bool KBOOTPServer::WriteRequestLog(const std::map<unsigned int, KLogMapAux>& entries) const
{
    if (RequestLogPath.empty())
        return false;
    std::ofstream out(RequestLogPath, std::ios::trunc);
    if (!out)
        return false;
    for (const auto& entry : entries)
        out << entry.second.Time << ' ' << entry.first << ' ' << Printable(entry.second.Info) << '\n';
    return true;
}
