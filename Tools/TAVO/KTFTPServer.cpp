#include "Tools/TAVO/KTFTPServer.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <limits.h>
#include <linux/openat2.h>
#include <memory>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

#include "Basekit/KByteReader.h"
#include "Basekit/KByteWriter.h"
#include "Basekit/KException.h"
#include "Basekit/KFileDescriptor.h"
#include "Basekit/KHostSystem.h"
#include "Basekit/KWireText.h"
#include "Tools/TAVO/InternalConfigs.h"
#include "Tools/TAVO/KCRCFileWriter.h"
#include "Tools/TAVO/KConfig.h"
#include "Tools/TAVO/KConfigReloader.h"
#include "Tools/TAVO/KConfigRules.h"
#include "Tools/TAVO/KNETInterface.h"
#include "Tools/TAVO/KTFTPSubProcess.h"
#include "Tools/TAVO/KUDPSock.h"
#include "Tools/TAVO/NetworkConfig.h"
#include "Tools/TAVO/TAVOCfg.h"
#include "Tools/TAVO/TAVODevs.h"
#include "Basekit/KRemoteLogSpecs.h"

namespace {

const char* const SourceFile = "Tools/TAVO/KTFTPServer";
const int RequestBufferSize = 1536;
const int ReceiveTimeoutMs = 2000;
const unsigned WaitRoundMs = 2000;
const unsigned DestructionWaitMs = 30000; // every thread sees a stop within one receive time-out


// For kernels without openat2 (before 5.6): one component at a time, none of them followed if
// it is a link. Unlike resolving the whole path and checking where it ended, this never opens
// anything outside the directory, not even a device whose open alone has an effect; the price
// is that on such kernels links are not served at all, those that stay inside included.
int OpenByComponents(int directory, const std::string& name, int flags)
{
    std::vector<std::string> parts;
    for (size_t at = 0; at <= name.size();) {
        size_t slash = name.find('/', at);
        if (slash == std::string::npos)
            slash = name.size();
        const std::string part = name.substr(at, slash - at);
        if (part == "..") {
            errno = EXDEV;
            return -1;
        }
        if (!part.empty() && part != ".")
            parts.push_back(part);
        at = slash + 1;
    }
    if (parts.empty())
        return openat(directory, ".", flags);
    basekit::KFileDescriptor current(fcntl(directory, F_DUPFD_CLOEXEC, 0));
    for (size_t i = 0; current.Get() >= 0 && i + 1 < parts.size(); ++i)
        current.Reset(openat(current.Get(), parts[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (current.Get() < 0)
        return -1;
    return openat(current.Get(), parts.back().c_str(), flags | O_NOFOLLOW);
}

// Copies one firmware entry through a temporary file in the destination directory, so the
// other service never serves a partly copied image. Only regular files beneath the firmware
// directory are copied (a link inside as the file it names), each keeping its permission bits:
// a file the operator keeps private stays private there. The rename replaces whatever the
// destination holds under the name, a planted link included, instead of writing through it.
void CopyEntry(KLogger& log, int fromDirectory, const kstring& to, const char* name)
{
    basekit::KFileDescriptor source(KTFTPServer::OpenBeneath(fromDirectory, name));
    if (source.Get() < 0) {
        // A directory ("." and ".." among them) cannot become a file in the destination.
        if (errno == EISDIR)
            log.Warning("Fail to create file (%s)", name);
        else
            log.Warning("Fail on reading file (%s)", name);
        return;
    }
    struct stat info;
    std::string target = fstring("%s/%s", to.c_str(), name);
    std::string temporary = target + ".XXXXXX";
    struct stat existing;
    const bool directoryThere = lstat(target.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode);
    basekit::KFileDescriptor destination(directoryThere ? -1 : mkostemp(&temporary[0], O_CLOEXEC));
    if (destination.Get() < 0 || fstat(source.Get(), &info) != 0) {
        if (destination.Get() >= 0)
            unlink(temporary.c_str());
        log.Warning("Fail to create file (%s)", name);
        return;
    }
    // Set explicitly: mkstemp creates 0600 and the umask must not decide. Set-id bits are not
    // carried over to a copy another service serves.
    fchmod(destination.Get(), info.st_mode & 0777);
    char buffer[65536];
    int failure = 0;
    for (;;) {
        ssize_t got = read(source.Get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            failure = got < 0 ? errno : 0;
            break;
        }
        for (ssize_t done = 0; done < got && !failure;) {
            ssize_t put = write(destination.Get(), buffer + done, static_cast<size_t>(got - done));
            if (put < 0 && errno != EINTR)
                failure = errno;
            done += put > 0 ? put : 0;
        }
        if (failure)
            break;
    }
    if (!failure && close(destination.Release()) != 0)
        failure = errno;
    if (failure) {
        unlink(temporary.c_str());
        log.Warning("Fail while copying files [%s]", strerror(failure));
        return;
    }
    if (rename(temporary.c_str(), target.c_str()) != 0) {
        unlink(temporary.c_str());
        log.Warning("Fail to create file (%s)", name);
    }
}

} // namespace

std::string KTFTPServer::TftpStrParser::GetNextString()
{
    if (!Data || Position < 0 || Position >= Size)
        return std::string();
    basekit::KByteReader reader(Data, static_cast<size_t>(Size));
    reader.seek(static_cast<size_t>(Position));
    const size_t left = reader.remaining();
    const unsigned char* rest = reader.bytes(left);
    const void* end = rest ? memchr(rest, 0, left) : nullptr;
    if (!end)
        return std::string();
    const size_t length = static_cast<size_t>(static_cast<const unsigned char*>(end) - rest);
    Position += static_cast<int>(length) + 1;
    return std::string(reinterpret_cast<const char*>(rest), length);
}

KTFTPServer::KTFTPServer()
    : Logger(klsTAVO, kloTavoTFTP, "TFTP", "tavo", 0x10, false),
      FirmwarePath(fstring("%s/data/am17/", KHostSystem::GetWorkDirectory()))
{
}

KTFTPServer::~KTFTPServer()
{
    Threads.Stop();
    Threads.WaitIdle(KThreadLifetimes::After(DestructionWaitMs));
}

int KTFTPServer::Start(std::list<KNETInterfaceEx> interfaces, int port, int maxClients)
{
    basekit::KLockGuard guard(StateMutex);
    if (Threads.IsRunning())
        return 1;
    CreateSpecialCases();
    config::TAVOSettings settings = config::KConfig<config::TAVOCfg, 0>::instance()->Copy();
    if (!settings.Tftp.AlternativePath.empty()) {
        Logger.Info("Alternative service may be running with path: %s", settings.Tftp.AlternativePath.c_str());
        CopyFirmwareFiles();
        return 0;
    }
    Port = port;
    MaxClients = maxClients;
    // Transfers of an earlier run that outlived WaitTermination stay counted until they end.
    return KNETInterface::StartPerInterface(Threads, interfaces,
                                            [this](const KNETInterfaceEx& iface) { RunServerThread(iface); });
}

int KTFTPServer::Stop()
{
    return Threads.Stop();
}

void KTFTPServer::WaitTermination()
{
    Threads.Stop();
    Threads.WaitIdle(KThreadLifetimes::After(6 * WaitRoundMs), {KThreadLifetimes::Worker, KThreadLifetimes::Starting});
    Threads.WaitIdle(KThreadLifetimes::After(3 * WaitRoundMs), {KThreadLifetimes::Server});
    const int serverThreads = Threads.Count(KThreadLifetimes::Server);
    const int transfers = Threads.Count(KThreadLifetimes::Worker);
    if (serverThreads != 0 || transfers != 0)
        Logger.Warning("Leaving with %d (%d + %d) threads running.", serverThreads + transfers, serverThreads,
                       transfers);
}

void KTFTPServer::SetNotifier(KTFTPNotifier* notifier)
{
    basekit::KLockGuard guard(StateMutex);
    Notifier = notifier;
}

int KTFTPServer::FreeMachine(std::string address)
{
    basekit::KLockGuard guard(StateMutex);
    auto entry = Machines.find(address);
    if (entry == Machines.end())
        return 1;
    entry->second = false;
    return 0;
}

void KTFTPServer::NotifyClient(const std::string& client, KTFTPStatus status, const std::string& detail)
{
    Activity.TftpPhase(client, status);
    KTFTPNotifier* notifier;
    {
        basekit::KLockGuard guard(StateMutex);
        notifier = Notifier;
    }
    if (!notifier)
        return;
    basekit::KLockGuard guard(NotifierMutex);
    notifier->ClientStatus(client, status, detail);
}

bool KTFTPServer::IsServing() const
{
    return Threads.IsRunning();
}

void KTFTPServer::TransferLog(KLogLevel level, const std::string& line)
{
    Logger.Log(level, "%s", line.c_str());
}

bool KTFTPServer::AllowLine(const std::string& client, const char* kind, KLogLevel level)
{
    return Budget.Allow(client, kind, level);
}

int KTFTPServer::OpenRequested(const std::string& path)
{
    // The requested name is relative to the firmware directory.
    if (path.compare(0, FirmwarePath.size(), FirmwarePath) != 0)
        return -1;
    return OpenFirmwareFile(path.substr(FirmwarePath.size()));
}

void KTFTPServer::SendErrorPacket(KUDPSock* socket, unsigned char code, std::string text, sockaddr_in* to)
{
    if (!to) {
        Logger.Warning("Invalid address to send packet");
        return;
    }
    if (text.size() > 511)
        text.resize(511);
    unsigned char packet[516];
    basekit::KByteWriter writer(packet, sizeof packet);
    writer.u16be(5);  // ERROR
    writer.u8(0);     // error code, high byte
    writer.u8(code);
    writer.cstring(text.c_str());
    if (socket && writer.ok())
        socket->Send(packet, static_cast<int>(writer.size()), to);
}

void KTFTPServer::RunServerThread(const KNETInterfaceEx& iface)
{
    _NotifyThreadInit(SourceFile, "ThreadStarter", 144);
    try {
        ServerThread(iface);
    } catch (basekit::KException& error) {
        Logger.Error("Error in server thread > %s", error.what());
        NotifyClient("", tsServerError, fstring("error in server thread: %s", error.what()));
    } catch (...) {
        Logger.Error("Critical error in server thread");
        NotifyClient("", tsServerError, "error in server thread");
    }
}

void KTFTPServer::ServerThread(KNETInterfaceEx iface)
{
    KUDPSock socket(iface.Address, Port, true);
    Logger.Trace("Listening on %s:%d", iface.Address.c_str(), Port);
    unsigned char buffer[RequestBufferSize];
    while (Threads.IsRunning()) {
        Beats.fetch_add(1, std::memory_order_relaxed);
        Budget.Flush(Logger);
        sockaddr_in from{};
        int result = socket.Receive(buffer, sizeof buffer, &from, ReceiveTimeoutMs);
        if (!Threads.IsRunning() || result == -1)
            continue;
        if (result == -2) {
            Logger.Warning("Timeout waiting for packet[ %i ]", socket.LastError);
            continue;
        }
        if (result < 0)
            throw basekit::KException(SourceFile, 249, "Critical socket error waiting for packet [%d]",
                                      socket.LastError);
        ProcessRequest(buffer, result, iface.Address, &from);
    }
}

void KTFTPServer::ProcessRequest(const unsigned char* data, int length, std::string localAddress, sockaddr_in* from)
{
    // Every line a stranger can cause by sending datagrams, or a board's address can cause with
    // a request the server refuses, goes through Budget; so does the limit, which a flood of
    // requests from the boards' addresses can reach.
    char text[INET_ADDRSTRLEN] = "";
    if (from)
        inet_ntop(AF_INET, &from->sin_addr, text, sizeof text);
    const std::string address = text;
    Counters.Add(KCounters::TftpReceived);
    {
        basekit::KLockGuard guard(StateMutex);
        // Transfers that have begun: those just accepted and still starting do not count yet.
        if (Threads.Count(KThreadLifetimes::Worker) > MaxClients) {
            Counters.Add(KCounters::TftpRefusedLimit);
            if (Budget.Allow(address, "max clients", klWarning))
                Logger.Warning("Max clients(%d) reached", MaxClients);
            return;
        }
    }
    if (length <= 9 || !data || !from) {
        Counters.Add(KCounters::TftpRefusedShort);
        return;
    }
    if (from->sin_port == 0) {
        Counters.Add(KCounters::TftpRefusedPort0);
        if (Budget.Allow(address, "port 0", klWarning))
            Logger.Warning("Invalid tftp port request");
        return;
    }
    if (!IsKnownBoard(address)) {
        Counters.Add(KCounters::TftpRefusedUnknown);
        Activity.TftpRefused(address, "unknown", false);
        if (Budget.Allow(address, "not in list", klNotice))
            Logger.Notice("Machine requesting file is not in list (%s)", address.c_str());
        return;
    }

    {
        basekit::KLockGuard guard(StateMutex);
        bool& busy = Machines[address];
        if (busy) {
            Counters.Add(KCounters::TftpRefusedBusy);
            Activity.TftpRefused(address, "busy", true);
            if (Budget.Allow(address, "busy", klTrace))
                Logger.Trace("Machine requesting file is busy");
            return;
        }
        busy = true;

        basekit::KByteReader reader(data, static_cast<size_t>(length));
        reader.u8(); // the first opcode byte is not examined
        const unsigned opcode = reader.u8();
        if (opcode != 1) {
            Counters.Add(KCounters::TftpRefusedInvalidRequest);
            if (Budget.Allow(address, "invalid request", klInfo))
                Logger.Info("Invalid tftp request [%i] from %s", static_cast<int>(opcode), address.c_str());
            busy = false;
            return;
        }
    }
    NotifyClient(address, tsRequest, "");

    if (AcceptRequest(data, length, localAddress, address, ntohs(from->sin_port)) == Acceptance::NoFileName)
        NotifyClient(address, tsNoFileName, "");
}

bool KTFTPServer::IsKnownBoard(const std::string& address)
{
    basekit::KLockGuard guard(DevicesMutex);
    // A stat per request instead of a parse: a few hundred boards cost milliseconds of CPU per
    // parse, at real-time priority, under the reloader's lock that BOOTP needs as well, and a
    // stranger could make the server spend it for every datagram. A file that fails to load is
    // reported once per version of it; the boards read before stay known.
    if (!DevicesRead || basekit::file::Stamp(config::TAVODevs::FilePath()) != DevicesStamp) {
        try {
            CreateReplacementsYAML();
        } catch (std::exception& error) {
            Logger.Error("Could not rewrite replacements.yaml for %s, serving it as it stands: %s", address.c_str(),
                         error.what());
        }
    }
    return KnownAddresses.count(address) != 0;
}

KTFTPServer::Acceptance KTFTPServer::AcceptRequest(const unsigned char* data, int length,
                                                   const std::string& localAddress, const std::string& address,
                                                   unsigned short port)
{
    std::map<kstring, kstring> firmwares;
    try {
        firmwares = config::KConfig<config::TAVOCfg, 0>::instance()->Copy().Firmwares;
    } catch (std::exception& error) {
        Counters.Add(KCounters::TftpRefusedConfigUnavailable);
        Logger.Warning("Service configuration not available: %s", error.what());
        FreeMachine(address);
        return Acceptance::Dropped;
    }

    basekit::KLockGuard guard(StateMutex);
    const char* client = address.c_str();
    TftpStrParser parser;
    parser.Data = data;
    parser.Position = 2;
    parser.Size = length;
    std::string name = parser.GetNextString();
    std::string mode = parser.GetNextString();
    if (name.empty()) {
        Counters.Add(KCounters::TftpRefusedNoName);
        if (Budget.Allow(address, "no name", klTrace))
            Logger.Trace("FirmwareName size == 0 (%s)", client);
        Machines[address] = false;
        return Acceptance::NoFileName;
    }
    if (mode.empty()) {
        Counters.Add(KCounters::TftpRefusedNoMode);
        if (Budget.Allow(address, "no mode", klTrace))
            Logger.Trace("RemoteRequestMode size == 0 (%s)", client);
        Machines[address] = false;
        NotifyClient(address, tsBadRequest, "");
        return Acceptance::Dropped;
    }
    for (char& c : mode)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (mode != "octet") {
        Counters.Add(KCounters::TftpRefusedMode);
        if (Budget.Allow(address, "mode", klTrace))
            Logger.Trace("RequestMode '%s' is not supported. Only 'octet' is supported (%s)",
                         basekit::EscapeWireText(mode).c_str(), client);
        Machines[address] = false;
        NotifyClient(address, tsBadRequest, "");
        return Acceptance::Dropped;
    }
    if (!MapFirmwareName(firmwares, name, address)) {
        Counters.Add(KCounters::TftpRefusedMalicious);
        Machines[address] = false;
        NotifyClient(address, tsBadRequest, "");
        return Acceptance::Dropped;
    }

    std::unique_ptr<KTFTPSubProcess> transfer(
        new KTFTPSubProcess(this, FirmwarePath + name, localAddress, address, port));
    transfer->Progress = Activity.TftpAccepted(address, name);
    Logger.Trace("Request ip=%s file=%s", client, basekit::EscapeWireText(name).c_str());
    if (!StartTransfer(transfer.get())) {
        Counters.Add(KCounters::TftpRefusedThreadStart);
        Logger.Warning("Unable to start processing thread!");
        Machines[address] = false;
        return Acceptance::Dropped;
    }
    transfer.release(); // the transfer thread owns it now
    Counters.Add(KCounters::TftpTransfersStarted);
    return Acceptance::Started;
}

bool KTFTPServer::StartTransfer(KTFTPSubProcess* transfer)
{
    // The body takes the record only once its thread runs; a thread that never started leaves it the caller's.
    const KThreadLifetimes::Outcome outcome =
        Threads.Start(KThreadLifetimes::Starting, [this, transfer](KThreadLifetimes::Token& token) {
            RunTransfer(std::unique_ptr<KTFTPSubProcess>(transfer), token);
        });
    return outcome == KThreadLifetimes::Outcome::Started;
}

bool KTFTPServer::MapFirmwareName(const std::map<kstring, kstring>& firmwares, std::string& name,
                                  const std::string& client)
{
    auto mapped = firmwares.find(name);
    if (mapped != firmwares.end()) {
        Logger.Trace("Requested firmware '%s' mapped to '%s'", basekit::EscapeWireText(name).c_str(),
                     basekit::EscapeWireText(mapped->second).c_str());
        name = mapped->second;
    }
    if (KConfigRules::MayLeaveFirmwareDirectory(name)) {
        if (Budget.Allow(client, "malicious", klWarning))
            Logger.Warning("Malicious firmware request: '%s'", basekit::EscapeWireText(name).c_str());
        return false;
    }
    return true;
}

int KTFTPServer::OpenBeneath(int directory, const std::string& name)
{
    // The name is relative to the directory: a leading "/" stays inside it, as it always has.
    const size_t start = name.find_first_not_of('/');
    const std::string relative = start == std::string::npos ? "." : name.substr(start);
    // Non-blocking, so that a FIFO cannot hold the thread in open; a regular file reads the same.
    const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    open_how how{};
    how.flags = static_cast<uint64_t>(flags);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    int fd = static_cast<int>(syscall(SYS_openat2, directory, relative.c_str(), &how, sizeof how));
    if (fd < 0 && errno == ENOSYS)
        fd = OpenByComponents(directory, relative, flags);
    if (fd < 0)
        return -1;
    struct stat info {};
    const bool known = fstat(fd, &info) == 0;
    if (!known || !S_ISREG(info.st_mode)) {
        // A directory, FIFO or device is not something to send to a board.
        const int error = known && S_ISDIR(info.st_mode) ? EISDIR : ENXIO;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

int KTFTPServer::OpenFirmwareFile(const std::string& name) const
{
    // The directory itself may be reached through links (/etc/varnel often is one); only what
    // lies beneath it is confined.
    basekit::KFileDescriptor directory(open(FirmwarePath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (directory.Get() < 0)
        return -1;
    return OpenBeneath(directory.Get(), name);
}

void KTFTPServer::RunTransfer(std::unique_ptr<KTFTPSubProcess> transfer, KThreadLifetimes::Token& token)
{
    _NotifyThreadInit(SourceFile, "ProtocolThreadStarter", 408);
    const char* client = transfer->ClientAddress.c_str();
    const char* path = transfer->FileName.c_str();

    // replacements.yaml already follows the devices file as it is now: the request was
    // accepted only after IsKnownBoard had looked at it.
    token.Become(KThreadLifetimes::Worker);
    try {
        ProtocolThread(transfer.get());
    } catch (basekit::KException& error) {
        Logger.Error("Error in protocol thread (%s:%s)> %s", client, basekit::EscapeWireText(path).c_str(),
                     error.what());
    } catch (...) {
        Logger.Error("Critical error in protocol thread (%s:%s)", client, basekit::EscapeWireText(path).c_str());
    }
    Counters.Add(transfer->Completed ? KCounters::TftpTransfersCompleted : KCounters::TftpTransfersFailed);
    Counters.Add(KCounters::TftpBytesSent, transfer->DataBytes);
    Counters.Add(KCounters::TftpRetransmissions, transfer->Retransmissions);
    FreeMachine(transfer->ClientAddress);
}

void KTFTPServer::ProtocolThread(KTFTPSubProcess* subProcess)
{
    subProcess->Transfer();
}

void KTFTPServer::CreateSpecialCases()
{
    const config::NetworkSettings network = config::KConfig<config::NetworkConfig, 0>::instance()->Copy();
    const config::InternalSettings internal = config::KConfig<config::InternalConfigs, 0>::instance()->Copy();

    // Declared in this order so that klog.cfg is closed before system.yaml.
    KCRCFileWriter system(FirmwarePath + "/system.yaml");
    system.Write("---\n");
    system.Write("Network:\n");
    system.Write("    LocalAudioInterface:    !\n");
    system.Write(fstring("    LocalAudioPort:         %u\n", network.LocalAudioPort));
    system.Write(fstring("    MediaServerAddress:     %s\n",
                         network.MediaServerAddress.empty() ? "!" : network.MediaServerAddress.c_str()));
    system.Write(fstring("    MediaServerPort:        %u\n", network.MediaServerPort));
    system.Write(fstring("    SignalingServerAddress: %s\n",
                         network.SignalingServerAddress.empty() ? "!" : network.SignalingServerAddress.c_str()));
    system.Write(fstring("    SignalingServerPort:    %u\n", network.SignalingServerPort));
    system.Write("InternalConfigs:\n");
    system.Write(fstring("    T8WServerBuffer: %u\n", internal.T8WServerBuffer));
    system.Write(fstring("    T8WClientBuffer: %u\n", internal.T8WClientBuffer));
    system.Write(fstring("    TdmopBuffer: %u\n", internal.TdmopBuffer));
    system.Write(fstring("    RtqBuffer: %u\n", internal.RtqBuffer));
    system.Write(fstring("    NdxBuffer: %u\n", internal.NdxBuffer));
    system.Write("---\n");

    KCRCFileWriter klog(FirmwarePath + "/klog.cfg");
    // The settings as the log manager loaded them; they are not read again here.
    KRemoteLogSpecs* remote = KRemoteLogSpecs::Instance();
    const kstring host = remote->RemoteLogHost();
    klog.Write(fstring("RemoteLogPort=%d\n", static_cast<int>(remote->RemoteLogPort())));
    klog.Write(fstring("RemoteLogHost=%s\n\n", host.empty() ? "!" : host.c_str()));

    CreateReplacementsYAML();
}

void KTFTPServer::CreateReplacementsYAML()
{
    basekit::KLockGuard guard(DevicesMutex);
    // Taken before the file is read: a change during the read makes the next request read it again.
    DevicesStamp = basekit::file::Stamp(config::TAVODevs::FilePath());
    DevicesRead = true;
    config::DevicesTables devices;
    {
        // A private object, read anew on every call, apart from the process-wide devices.
        // It is registered with the reloader while it exists; holding the reloader's lock for
        // its whole life keeps a reload pass from finding it half built or half destroyed.
        basekit::KLockGuard registry(config::KConfigReloader::Mutex);
        config::TAVODevs loaded;
        config::KConfigReloader::Reload(loaded, false);
        devices = loaded.Copy();
    }
    KnownAddresses.clear();
    for (const auto& machine : devices.machines)
        KnownAddresses.insert(machine.second.IP);

    KCRCFileWriter file(FirmwarePath + "/replacements.yaml");
    file.Write("### Generated by TAVO, do not touch it! ###\n");
    for (const auto& machine : devices.machines) {
        const unsigned replacer = machine.second.Replacer;
        if (replacer == 0)
            continue;
        file.Write(fstring("%d: %d\n", static_cast<int>(replacer), static_cast<int>(machine.first)));
        if (devices.machines.count(replacer))
            Logger.Warning("Replacer device %d is also configured as active", static_cast<int>(replacer));
    }
}

void KTFTPServer::CopyFirmwareFiles()
{
    const kstring alternative = config::KConfig<config::TAVOCfg, 0>::instance()->Copy().Tftp.AlternativePath;
    if (KHostSystem::MakeDirectory(alternative.c_str())) {
        Logger.Error("Fail to setup path for varnel firmwares, %s", alternative.c_str());
        return;
    }
    if (FirmwarePath == alternative)
        return;
    char name[PATH_MAX] = "";
    int result = 6;
    void* listing = KHostSystem::FindFirst(FirmwarePath.c_str(), "*", name, &result);
    if (!listing) {
        Logger.Error("Fail to list path contents of %s", FirmwarePath.c_str());
        return;
    }
    // Every entry is opened beneath this descriptor, so none leads the copy out of the directory.
    basekit::KFileDescriptor from(open(FirmwarePath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (from.Get() < 0)
        Logger.Error("Fail to list path contents of %s", FirmwarePath.c_str());
    for (; from.Get() >= 0 && result == 0; result = KHostSystem::FindNext(listing, "*", name))
        CopyEntry(Logger, from.Get(), alternative, name);
    KHostSystem::FindClose(listing);
}
