#include "Tools/TAVO/KTFTPServer.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "Basekit/KByteReader.h"
#include "Basekit/KByteWriter.h"
#include "Basekit/KException.h"
#include "Basekit/KHostSystem.h"
#include "Tools/TAVO/InternalConfigs.h"
#include "Tools/TAVO/KCRCFileWriter.h"
#include "Tools/TAVO/KConfig.h"
#include "Tools/TAVO/KConfigReloader.h"
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

KLogger* NewTftpLogger()
{
    return new KLogger(klsTAVO, kloTavoTFTP, "TFTP", "tavo", 0x10, false);
}

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};
typedef std::unique_ptr<FILE, FileCloser> FilePtr;

bool IsDirectory(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Copies one firmware entry through a temporary file in the destination directory, so the
// other service never serves a partly copied image. Failures are logged; false ends nothing.
void CopyEntry(KLogger& log, const kstring& from, const kstring& to, const char* name)
{
    FilePtr source(fopen(fstring("%s/%s", from.c_str(), name).c_str(), "rb"));
    if (!source) {
        log.Warning("Fail on reading file (%s)", name);
        return;
    }
    std::string target = fstring("%s/%s", to.c_str(), name);
    std::string temporary = target + ".XXXXXX";
    int fd = IsDirectory(target) ? -1 : mkstemp(&temporary[0]);
    FilePtr destination(fd >= 0 ? fdopen(fd, "wb") : nullptr);
    if (!destination) {
        if (fd >= 0) {
            close(fd);
            unlink(temporary.c_str());
        }
        log.Warning("Fail to create file (%s)", name);
        return;
    }
    fchmod(fd, 0644);
    char buffer[65536];
    const char* failure = nullptr;
    for (;;) {
        size_t got = fread(buffer, 1, sizeof buffer, source.get());
        if (got && fwrite(buffer, 1, got, destination.get()) != got) {
            failure = strerror(errno);
            break;
        }
        if (got < sizeof buffer) {
            if (ferror(source.get()))
                failure = strerror(errno);
            break;
        }
    }
    if (!failure && fclose(destination.release()) != 0)
        failure = strerror(errno);
    if (failure) {
        unlink(temporary.c_str());
        log.Warning("Fail while copying files [%s]", failure);
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
    Threads.StopAndWaitDetached();
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
    // The transfer counters are not zeroed: transfers of an earlier run that outlived
    // WaitTermination still count themselves out, and zeroing would make them go negative.
    return Threads.Start(interfaces, &KTFTPServer::ThreadStarter, this);
}

int KTFTPServer::Stop()
{
    return Threads.Stop();
}

void KTFTPServer::WaitTermination()
{
    Threads.Stop();
    Threads.WaitForZero([this] { return ProtocolThreads + StartingTransfers; }, 6 * WaitRoundMs);
    Threads.WaitForZero([this] { return Threads.ServerThreadCount(); }, 3 * WaitRoundMs);
    basekit::KLockGuard guard(StateMutex);
    const int serverThreads = Threads.ServerThreadCount();
    if (serverThreads != 0 || ProtocolThreads != 0)
        Logger.Warning("Leaving with %d (%d + %d) threads running.", serverThreads + ProtocolThreads, serverThreads,
                       ProtocolThreads);
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

void* KTFTPServer::ThreadStarter(void* argument)
{
    _NotifyThreadInit(SourceFile, "ThreadStarter", 144);
    KTFTPServer* server = static_cast<KTFTPServer*>(argument);
    if (!server) {
        std::unique_ptr<KLogger> log(NewTftpLogger());
        log->Error("Critical error in server thread, OBJECT is NULL");
        return nullptr;
    }
    KNETInterfaceEx iface;
    const char* failure = nullptr;
    try {
        if (!server->Threads.TakeInterface(iface))
            failure = "Empty interface list";
    } catch (...) {
        failure = "Interface list error";
    }
    if (failure) {
        server->Logger.Error("%s", failure);
        server->NotifyClient("", tsServerError, failure);
        server->Threads.LeaveDetached();
        return nullptr;
    }

    try {
        server->ServerThread(iface);
    } catch (basekit::KException& error) {
        server->Logger.Error("Error in server thread > %s", error.what());
        server->NotifyClient("", tsServerError, fstring("error in server thread: %s", error.what()));
    } catch (...) {
        server->Logger.Error("Critical error in server thread");
        server->NotifyClient("", tsServerError, "error in server thread");
    }
    server->Threads.LeaveServerThread();
    return nullptr;
}

void KTFTPServer::ServerThread(KNETInterfaceEx iface)
{
    KUDPSock socket(iface.Address, Port, true);
    Logger.Trace("Listening on %s:%d", iface.Address.c_str(), Port);
    unsigned char buffer[RequestBufferSize];
    while (Threads.IsRunning()) {
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
    {
        basekit::KLockGuard guard(StateMutex);
        if (ProtocolThreads > MaxClients) {
            Logger.Warning("Max clients(%d) reached", MaxClients);
            return;
        }
    }
    if (length <= 9 || !data || !from)
        return;
    if (from->sin_port == 0) {
        Logger.Warning("Invalid tftp port request");
        return;
    }
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &from->sin_addr, text, sizeof text);
    const std::string address = text;

    // The configuration is read before the lock: a missing or broken devices file must not
    // end the server thread, and its load may take the reloader's lock for a while.
    config::DevicesTables devices;
    try {
        devices = config::KConfig<config::TAVODevs, 0>::instance()->Copy();
    } catch (std::exception& error) {
        Logger.Warning("Devices configuration not available: %s", error.what());
        return;
    }

    {
        basekit::KLockGuard guard(StateMutex);
        bool known = false;
        for (const auto& machine : devices.machines)
            known = known || machine.second.IP == address;
        if (!known) {
            Logger.Notice("Machine requesting file is not in list (%s)", address.c_str());
            return;
        }
        bool& busy = Machines[address];
        if (busy) {
            Logger.Trace("Machine requesting file is busy");
            return;
        }
        busy = true;

        basekit::KByteReader reader(data, static_cast<size_t>(length));
        reader.u8(); // the first opcode byte is not examined
        const unsigned opcode = reader.u8();
        if (opcode != 1) {
            Logger.Info("Invalid tftp request [%i] from %s", static_cast<int>(opcode), address.c_str());
            busy = false;
            return;
        }
    }
    NotifyClient(address, tsRequest, "");

    if (AcceptRequest(data, length, localAddress, address, ntohs(from->sin_port)) == Acceptance::NoFileName)
        NotifyClient(address, tsNoFileName, "");
}

KTFTPServer::Acceptance KTFTPServer::AcceptRequest(const unsigned char* data, int length,
                                                   const std::string& localAddress, const std::string& address,
                                                   unsigned short port)
{
    std::map<kstring, kstring> firmwares;
    try {
        firmwares = config::KConfig<config::TAVOCfg, 0>::instance()->Copy().Firmwares;
    } catch (std::exception& error) {
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
        Logger.Trace("FirmwareName size == 0 (%s)", client);
        Machines[address] = false;
        return Acceptance::NoFileName;
    }
    if (mode.empty()) {
        Logger.Trace("RemoteRequestMode size == 0 (%s)", client);
        Machines[address] = false;
        NotifyClient(address, tsBadRequest, "");
        return Acceptance::Dropped;
    }
    for (char& c : mode)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (mode != "octet") {
        Logger.Trace("RequestMode '%s' is not supported. Only 'octet' is supported (%s)", mode.c_str(), client);
        Machines[address] = false;
        NotifyClient(address, tsBadRequest, "");
        return Acceptance::Dropped;
    }
    if (!MapFirmwareName(firmwares, name)) {
        Machines[address] = false;
        NotifyClient(address, tsBadRequest, "");
        return Acceptance::Dropped;
    }

    std::unique_ptr<KTFTPSubProcess> transfer(
        new KTFTPSubProcess(this, FirmwarePath + name, localAddress, address, port));
    Logger.Trace("Request ip=%s file=%s", client, name.c_str());
    if (!StartTransfer(transfer.get())) {
        Logger.Warning("Unable to start processing thread!");
        Machines[address] = false;
        return Acceptance::Dropped;
    }
    transfer.release(); // the transfer thread owns it now
    return Acceptance::Started;
}

bool KTFTPServer::StartTransfer(KTFTPSubProcess* transfer)
{
    basekit::KLockGuard guard(StateMutex);
    ++StartingTransfers;
    if (!Threads.StartDetached(&KTFTPServer::ProtocolThreadStarter, transfer)) {
        --StartingTransfers;
        return false;
    }
    return true;
}

bool KTFTPServer::MapFirmwareName(const std::map<kstring, kstring>& firmwares, std::string& name)
{
    auto mapped = firmwares.find(name);
    if (mapped != firmwares.end()) {
        Logger.Trace("Requested firmware '%s' mapped to '%s'", name.c_str(), mapped->second.c_str());
        name = mapped->second;
    }
    // Anywhere in the name, not only as a path component: nothing a board needs has "..".
    if (name.find("..") != std::string::npos) {
        Logger.Warning("Malicious firmware request: '%s'", name.c_str());
        return false;
    }
    return true;
}

void* KTFTPServer::ProtocolThreadStarter(void* argument)
{
    _NotifyThreadInit(SourceFile, "ProtocolThreadStarter", 408);
    std::unique_ptr<KTFTPSubProcess> transfer(static_cast<KTFTPSubProcess*>(argument));
    if (!transfer || !transfer->Server) {
        std::unique_ptr<KLogger> log(NewTftpLogger());
        log->Error(transfer ? "Critical error in protocol thread, OBJECT is NULL"
                            : "Critical error in protocol thread SPInfo is NULL");
        return nullptr;
    }
    KTFTPServer* server = transfer->Server;
    const char* client = transfer->ClientAddress.c_str();
    const char* path = transfer->FileName.c_str();

    // Each transfer sees the replacements of the devices file as it is now; if that cannot
    // be written, the board still gets the last complete file.
    try {
        server->CreateReplacementsYAML();
    } catch (std::exception& error) {
        server->Logger.Error("Could not rewrite replacements.yaml for %s, serving it as it stands: %s", client,
                             error.what());
    } catch (...) {
        server->Logger.Error("Could not rewrite replacements.yaml for %s, serving it as it stands", client);
    }
    {
        basekit::KLockGuard guard(server->StateMutex);
        --server->StartingTransfers;
        ++server->ProtocolThreads;
    }
    try {
        server->ProtocolThread(transfer.get());
    } catch (basekit::KException& error) {
        server->Logger.Error("Error in protocol thread (%s:%s)> %s", client, path, error.what());
    } catch (...) {
        server->Logger.Error("Critical error in protocol thread (%s:%s)", client, path);
    }
    server->FreeMachine(transfer->ClientAddress);
    {
        basekit::KLockGuard guard(server->StateMutex);
        --server->ProtocolThreads;
    }
    transfer.reset();
    server->Threads.LeaveDetached();
    return nullptr;
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
    KCRCFileWriter file(FirmwarePath + "/replacements.yaml");
    file.Write("### Generated by TAVO, do not touch it! ###\n");
    try {
        // A private object, read anew on every call, apart from the process-wide devices.
        // It is registered with the reloader while it exists; holding the reloader's lock for
        // its whole life keeps a reload pass from finding it half built or half destroyed.
        basekit::KLockGuard registry(config::KConfigReloader::Mutex);
        config::TAVODevs loaded;
        config::KConfigReloader::Reload(loaded, false);
        const config::DevicesTables devices = loaded.Copy();
        for (const auto& machine : devices.machines) {
            const unsigned replacer = machine.second.Replacer;
            if (replacer == 0)
                continue;
            file.Write(fstring("%d: %d\n", static_cast<int>(replacer), static_cast<int>(machine.first)));
            if (devices.machines.count(replacer))
                Logger.Warning("Replacer device %d is also configured as active", static_cast<int>(replacer));
        }
    } catch (...) {
        file.Discard(); // the file keeps its last complete content
        throw;
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
    for (; result == 0; result = KHostSystem::FindNext(listing, "*", name))
        CopyEntry(Logger, FirmwarePath, alternative, name);
    KHostSystem::FindClose(listing);
}
