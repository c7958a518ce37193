#include "tools/KConfigChecker.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <exception>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <utility>

#include <yaml-cpp/yaml.h>

#include "Tools/TAVO/ConfigLoad.h"
#include "Tools/TAVO/InternalConfigs.h"
#include "Tools/TAVO/KConfigLoadError.h"
#include "Tools/TAVO/KConfigReloader.h"
#include "Tools/TAVO/KConfigRules.h"
#include "Tools/TAVO/KNETInterface.h"
#include "Tools/TAVO/KReloadable.h"
#include "Tools/TAVO/NetworkConfig.h"
#include "Tools/TAVO/TAVOCfg.h"
#include "Tools/TAVO/TAVODevs.h"

std::string KConfigProblem::Text() const
{
    return File + ":" + std::to_string(Line) + ":" + std::to_string(Column) + ": " + Message;
}

namespace {

// Board serials live in the last three bytes of the MAC address; 0 means "not a board".
const unsigned int MaxSerial = 16777215;

// The keys the daemon reads; anything else in these maps is ignored by it.
const std::set<std::string> BoardKeys = {"Type", "IP", "Replacer", "Firmware", "SetNewFirmware"};
const std::set<std::string> NetworkKeys = {
    "LocalAudioInterface", "LocalAudioPort", "MediaServerAddress", "MediaServerPort", "SignalingServerAddress",
    "SignalingServerPort", "T8WServerAddress", "T8WServerPort", "T8WQueryPort", "T8WSnmpPort",
    "ConnectionTimeout", "SimServerAddress", "SimServerPort", "SimClientLog", "AudioStreamingMinPort",
    "AudioStreamingMaxPort"};
const std::set<std::string> InternalKeys = {"T8WServerBuffer", "T8WClientBuffer", "TdmopBuffer", "RtqBuffer",
                                            "NdxBuffer"};

// A daemon configuration class loaded from another directory: the daemon's classes always
// read the installation's directory, so this wraps one and hands its loading over.
template <class T>
class KDirectoryConfig : public config::KReloadable {
public:
    explicit KDirectoryConfig(const kstring& directory)
        : KDirectoryConfig(directory, std::make_unique<T>())
    {
    }
    bool LoadConfig(const YAML::Node& node) override { return Inner->LoadConfig(node); }
    std::unique_ptr<config::KReloadable> CloneForValidation() const override
    {
        return std::make_unique<KDirectoryConfig<T>>(Directory());
    }
    void AdditionalValidations() override { Inner->AdditionalValidations(); }
    T& Object() { return *Inner; }

private:
    KDirectoryConfig(const kstring& directory, std::unique_ptr<T> inner)
        : KReloadable(inner->FileName(), inner->DocumentName(), inner->MissingDocumentPolicy(), directory),
          Inner(std::move(inner))
    {
    }
    std::unique_ptr<T> Inner;
};

struct KPosition {
    int Line = 0;
    int Column = 0;
};

KPosition At(const YAML::Node& node)
{
    if (!node.IsDefined())
        return {};
    const YAML::Mark mark = node.Mark();
    if (mark.is_null())
        return {};
    return {mark.line + 1, mark.column + 1};
}

// The entry of a map whose key is `key`, found as the daemon finds it; undefined when none.
YAML::Node Child(const YAML::Node& map, const char* key)
{
    std::optional<YAML::Node> value = config::FindValue(map, key);
    return value ? *value : YAML::Node(YAML::NodeType::Undefined);
}

// The key node of that entry, for positions.
YAML::Node ChildKey(const YAML::Node& map, const char* key)
{
    std::optional<YAML::Node> found = config::FindKey(map, key);
    return found ? *found : YAML::Node(YAML::NodeType::Undefined);
}

// The object's node as the daemon's loader picks it; undefined when the loader would not
// find it (the loader reports why).
YAML::Node LoadDocument(const std::string& path, const std::string& document)
{
    try {
        std::ifstream stream(path);
        if (std::optional<YAML::Node> value = config::FindDocument(stream, document))
            return *value;
    } catch (const std::exception&) {
    }
    return YAML::Node(YAML::NodeType::Undefined);
}

// Strict dotted quad (the daemon's inet_addr would also take forms such as "10.1").
std::optional<uint32_t> ParseIPv4(const std::string& text)
{
    in_addr address{};
    if (inet_pton(AF_INET, text.c_str(), &address) != 1)
        return std::nullopt;
    return ntohl(address.s_addr);
}

std::string Scalar(const YAML::Node& node)
{
    return node.IsDefined() && node.IsScalar() ? node.Scalar() : std::string();
}

bool IsDirectory(const std::string& path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool IsRegularFile(const std::string& path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// Where one board entry of devices.yaml sits, for the messages.
struct KBoardEntry {
    unsigned int Serial = 0;
    KPosition Key;
    bool HasIP = false;
    KPosition IP;
    KPosition Replacer;
    KPosition Firmware;
    bool Superseded = false; // a later entry has the same serial and wins
};

// One run of the checks over one configuration directory.
class KCheckRun {
public:
    KCheckRun(const std::string& configDir, const std::string& firmwareDir,
              const std::list<KNETInterfaceEx>& hostInterfaces, bool hostChecks)
        : ConfigDir(configDir), FirmwareDir(firmwareDir), Host(hostInterfaces), HostChecks(hostChecks)
    {
    }

    std::vector<KConfigProblem> Run()
    {
        const bool haveService = LoadService();
        const bool haveDevices = LoadDevices();
        LoadSystem();
        if (!IsDirectory(FirmwareDir))
            Add(FirmwareDir, {}, "firmware directory does not exist; the TFTP server cannot start without it");
        if (haveService) {
            CheckServiceKeys();
            CheckPorts();
            CheckInterfaces();
            CheckFirmwareMap();
        }
        if (haveDevices) {
            IndexBoards();
            CheckSerials();
            CheckReplacers();
            if (haveService) {
                CheckAddresses();
                CheckBoardFirmware();
            }
        }
        std::stable_sort(Problems.begin(), Problems.end(), [](const KConfigProblem& a, const KConfigProblem& b) {
            return std::tie(a.File, a.Line, a.Column) < std::tie(b.File, b.Line, b.Column);
        });
        return Problems;
    }

private:
    std::string Path(const char* file) const { return ConfigDir + "/" + file + ".yaml"; }

    void Add(const std::string& file, KPosition at, const std::string& message)
    {
        Problems.push_back({file, at.Line, at.Column, message});
    }

    // A loader failure, at its position, or else at the first key of the document that its
    // text mentions (validation messages start with the key), or else the whole file.
    void AddLoaderProblem(const YAML::Node& document, const config::KConfigLoadError& error)
    {
        const std::string file = error.GetPath();
        const std::string text = error.what();
        KPosition at{error.GetLine(), error.GetColumn()};
        if (at.Line == 0 && document.IsMap()) {
            std::size_t best = std::string::npos;
            for (auto it = document.begin(); it != document.end(); ++it) {
                const std::string key = Scalar(it->first);
                const std::size_t where = key.empty() ? std::string::npos : text.find(key);
                if (where < best) {
                    best = where;
                    at = At(it->first);
                }
            }
        }
        for (const KConfigProblem& known : Problems)
            if (known.File == file && known.Line == at.Line && known.Column == at.Column && known.Message == text)
                return;
        Add(file, at, text);
    }

    template <class T>
    std::unique_ptr<KDirectoryConfig<T>> Load(const YAML::Node& document)
    {
        auto object = std::make_unique<KDirectoryConfig<T>>(kstring(ConfigDir));
        try {
            config::KConfigReloader::Reload(*object, false);
            return object;
        } catch (const config::KConfigLoadError& e) {
            AddLoaderProblem(document, e);
            return nullptr;
        }
    }

    bool LoadService()
    {
        TavoFile = Path("tavo");
        TavoDoc = LoadDocument(TavoFile, "tavo");
        auto loaded = Load<config::TAVOCfg>(TavoDoc);
        if (!loaded)
            return false;
        Service = loaded->Object().Copy();
        return true;
    }

    bool LoadDevices()
    {
        DevicesFile = Path("devices");
        DevicesDoc = LoadDocument(DevicesFile, "Devices");
        auto loaded = Load<config::TAVODevs>(DevicesDoc);
        if (!loaded)
            return false;
        Devices = loaded->Object().Copy();
        return true;
    }

    void LoadSystem()
    {
        const std::string file = Path("system");
        // Both documents come from one file: a syntax error is reported once (see AddLoaderProblem).
        const YAML::Node network = LoadDocument(file, "Network");
        const YAML::Node internal = LoadDocument(file, "InternalConfigs");
        if (Load<config::NetworkConfig>(network))
            CheckKeys(file, network, NetworkKeys, "Network");
        if (Load<config::InternalConfigs>(internal))
            CheckKeys(file, internal, InternalKeys, "InternalConfigs");
    }

    // A key the daemon does not know is silently ignored, and the setting it was meant to be
    // keeps its default: report it, with the known key it differs from only in case.
    void CheckKeys(const std::string& file, const YAML::Node& map, const std::set<std::string>& known,
                   const std::string& where)
    {
        if (!map.IsMap())
            return;
        for (auto it = map.begin(); it != map.end(); ++it) {
            const std::string key = Scalar(it->first);
            if (known.count(key))
                continue;
            std::string message = "unknown key '" + key + "' in " + where + " is ignored";
            for (const std::string& candidate : known)
                if (candidate.size() == key.size() &&
                    std::equal(candidate.begin(), candidate.end(), key.begin(), [](char a, char b) {
                        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
                    }))
                    message += "; keys are case-sensitive: '" + candidate + "'";
            Add(file, At(it->first), message);
        }
    }

    void CheckServiceKeys()
    {
        CheckKeys(TavoFile, TavoDoc, {"BootP", "Interfaces", "tftp", "Firmwares", "Metrics"}, "tavo");
        CheckKeys(TavoFile, Child(TavoDoc, "BootP"), {"RxPort", "TxPort"}, "BootP");
        CheckKeys(TavoFile, Child(TavoDoc, "tftp"), {"Port", "AlternativePath"}, "tftp");
        CheckKeys(TavoFile, Child(TavoDoc, "Metrics"), {"HttpPort"}, "Metrics");
    }

    // The BOOTP ports, the TFTP port and the time port are all UDP ports of this host.
    void CheckPorts()
    {
        struct KPort {
            std::string Name;
            unsigned int Value;
            KPosition At;
            bool Configured;
        };
        const YAML::Node bootp = Child(TavoDoc, "BootP");
        const YAML::Node tftp = Child(TavoDoc, "tftp");
        auto where = [&](const YAML::Node& section, const char* key) {
            const YAML::Node value = Child(section, key);
            if (value.IsDefined())
                return At(value);
            return section.IsDefined() ? At(section) : KPosition{};
        };
        std::vector<KPort> ports = {
            {"BootP RxPort", Service.BootP.RxPort, where(bootp, "RxPort"), true},
            {"BootP TxPort", Service.BootP.TxPort, where(bootp, "TxPort"), true},
        };
        // With an alternative path another service serves TFTP and the port stays unused.
        if (Service.Tftp.AlternativePath.empty())
            ports.push_back({"tftp Port", Service.Tftp.Port, where(tftp, "Port"), true});
        ports.push_back({"the time service's port", KConfigRules::TimePort, {}, false});

        for (const KPort& port : ports)
            if (port.Configured && (port.Value < 1 || port.Value > 65535))
                Add(TavoFile, port.At, port.Name + " " + std::to_string(port.Value) + " is not a valid port (1-65535)");
        // A TCP port, so none of the UDP ones collides with it; 0 leaves it off, and so would a
        // value that is no number, silently for the daemon.
        const YAML::Node http = Child(Child(TavoDoc, "Metrics"), "HttpPort");
        unsigned int httpPort = 0;
        try {
            if (http.IsDefined())
                config::Load(http, httpPort);
        } catch (const YAML::Exception&) {
            httpPort = 65536;
        }
        if (httpPort > 65535)
            Add(TavoFile, At(http), "Metrics HttpPort " + Scalar(http) + " is not a valid port (1-65535, or 0 for off)");
        for (std::size_t i = 0; i < ports.size(); ++i)
            for (std::size_t j = i + 1; j < ports.size(); ++j)
                if (ports[i].Value == ports[j].Value) {
                    const KPort& reported = ports[j].Configured ? ports[j] : ports[i];
                    const KPort& other = ports[j].Configured ? ports[i] : ports[j];
                    Add(TavoFile, reported.At, reported.Name + " " + std::to_string(reported.Value) +
                                                   " collides with " + other.Name);
                }
    }

    void CheckInterfaces()
    {
        const YAML::Node listed = Child(TavoDoc, "Interfaces");
        std::size_t index = 0;
        for (const kstring& address : Service.Interfaces) {
            const YAML::Node item = listed.IsSequence() && index < listed.size() ? listed[index] : YAML::Node();
            ++index;
            const KPosition at = item.IsDefined() ? At(item) : At(listed);
            if (!ParseIPv4(address)) {
                Add(TavoFile, at, "interface address '" + address + "' is not an IPv4 address");
                continue;
            }
            if (!HostChecks)
                continue;
            const bool present = std::any_of(Host.begin(), Host.end(),
                                             [&](const KNETInterfaceEx& i) { return i.Address == address; });
            if (!present)
                Add(TavoFile, at, "interface address " + address +
                                      " is not a broadcast-capable IPv4 address of this host; it is not served");
        }
        if (!HostChecks)
            return;
        // The daemon serves exactly the host's interfaces whose address text is listed.
        for (const KNETInterfaceEx& candidate : Host) {
            const bool listedHere = Service.Interfaces.empty() ||
                                    std::find(Service.Interfaces.begin(), Service.Interfaces.end(),
                                              candidate.Address) != Service.Interfaces.end();
            if (listedHere)
                Served.push_back(candidate);
        }
        if (Served.empty())
            Add(TavoFile, At(listed.IsDefined() ? ChildKey(TavoDoc, "Interfaces") : TavoDoc),
                "no interface to serve: the BOOTP, TFTP and time servers would not start");
    }

    // The name a board's request for `name` is served from, or a message why it is not.
    std::pair<std::string, std::string> Resolve(const std::string& name) const
    {
        std::string mapped = name;
        const auto hit = Service.Firmwares.find(kstring(name));
        if (hit != Service.Firmwares.end())
            mapped = hit->second;
        const std::string shown = mapped == name ? "'" + name + "'" : "'" + name + "' (mapped to '" + mapped + "')";
        if (KConfigRules::MayLeaveFirmwareDirectory(mapped))
            return {mapped, "firmware " + shown + " contains '..' and would be refused"};
        if (HostChecks && IsDirectory(FirmwareDir) && !IsRegularFile(FirmwareDir + "/" + mapped))
            return {mapped, "firmware " + shown + " is not in the firmware directory " + FirmwareDir};
        return {mapped, std::string()};
    }

    void CheckFirmwareMap()
    {
        const YAML::Node map = Child(TavoDoc, "Firmwares");
        for (const auto& [requested, target] : Service.Firmwares) {
            KPosition at = At(map);
            if (map.IsSequence())
                for (const YAML::Node& element : map) {
                    const YAML::Node key = ChildKey(element, requested.c_str());
                    if (key.IsDefined())
                        at = At(key); // the last one wins, as in the loader
                }
            if (KConfigRules::MayLeaveFirmwareDirectory(target))
                Add(TavoFile, at, "Firmwares maps '" + requested + "' to '" + target + "', which contains '..'; requests for it would be refused");
            else if (HostChecks && IsDirectory(FirmwareDir) && !IsRegularFile(FirmwareDir + "/" + target))
                Add(TavoFile, at, "Firmwares maps '" + requested + "' to '" + target +
                                      "', which is not in the firmware directory " + FirmwareDir);
        }
    }

    void IndexBoards()
    {
        if (!DevicesDoc.IsSequence())
            return;
        for (const YAML::Node& element : DevicesDoc) {
            if (!element.IsMap())
                continue;
            for (auto it = element.begin(); it != element.end(); ++it) {
                unsigned int serial = 0;
                try {
                    serial = it->first.as<unsigned int>();
                } catch (const std::exception&) {
                    continue; // the loader has rejected the file already
                }
                const YAML::Node board = it->second; // a copy: the iterator hands out a temporary
                if (!Child(board, "Type").IsDefined()) {
                    Add(DevicesFile, At(it->first), "entry " + Scalar(it->first) +
                                                        " has no Type and is ignored; boards have a Type starting with NDX");
                    continue;
                }
                if (!KConfigRules::IsNdxType(Scalar(Child(board, "Type"))))
                    continue; // another product's entry
                CheckKeys(DevicesFile, board, BoardKeys, "board " + std::to_string(serial));
                KBoardEntry entry;
                entry.Serial = serial;
                entry.Key = At(it->first);
                const YAML::Node ip = Child(board, "IP");
                entry.HasIP = ip.IsDefined();
                entry.IP = entry.HasIP ? At(ip) : entry.Key;
                const YAML::Node replacer = Child(board, "Replacer");
                entry.Replacer = replacer.IsDefined() ? At(replacer) : entry.Key;
                const YAML::Node firmware = Child(board, "Firmware");
                entry.Firmware = firmware.IsDefined() ? At(firmware) : entry.Key;
                for (KBoardEntry& earlier : Boards)
                    if (earlier.Serial == serial && !earlier.Superseded) {
                        earlier.Superseded = true;
                        Add(DevicesFile, entry.Key, "board " + std::to_string(serial) +
                                                        " is configured again; this entry replaces the one at line " +
                                                        std::to_string(earlier.Key.Line));
                    }
                Boards.push_back(entry);
            }
        }
    }

    // The entries that are in force, with the values the daemon loaded for them.
    template <class F>
    void ForEachBoard(F f) const
    {
        for (const KBoardEntry& entry : Boards) {
            if (entry.Superseded)
                continue;
            const auto machine = Devices.machines.find(entry.Serial);
            if (machine != Devices.machines.end())
                f(entry, machine->second);
        }
    }

    void CheckSerials()
    {
        ForEachBoard([&](const KBoardEntry& entry, const KBOOTPMachine&) {
            if (entry.Serial == 0 || entry.Serial > MaxSerial)
                Add(DevicesFile, entry.Key, "board serial " + std::to_string(entry.Serial) +
                                                " can never boot (serials are 1 to 16777215)");
        });
    }

    void CheckReplacers()
    {
        ForEachBoard([&](const KBoardEntry& entry, const KBOOTPMachine& machine) {
            const unsigned int replacer = machine.Replacer;
            if (replacer == 0)
                return;
            const std::string board = std::to_string(entry.Serial);
            const std::string replacing = std::to_string(replacer);
            if (replacer > MaxSerial)
                Add(DevicesFile, entry.Replacer, "replacer " + replacing + " of board " + board +
                                                     " can never boot (serials are 1 to 16777215)");
            if (Devices.machines.count(replacer)) {
                Add(DevicesFile, entry.Replacer, "replacer " + replacing + " of board " + board +
                                                     " is itself configured; it boots with its own entry, not as the replacement");
                return;
            }
            const auto taken = Devices.replacements.find(replacer);
            if (taken != Devices.replacements.end() && taken->second != entry.Serial)
                Add(DevicesFile, entry.Replacer, "replacer " + replacing + " already replaces board " +
                                                     std::to_string(taken->second) + "; this one of board " + board +
                                                     " is ignored");
        });
    }

    void CheckAddresses()
    {
        std::map<uint32_t, unsigned int> owners; // address -> first board in file order
        ForEachBoard([&](const KBoardEntry& entry, const KBOOTPMachine& machine) {
            const std::string board = "board " + std::to_string(entry.Serial);
            if (!entry.HasIP) {
                // Such a board is never answered; should the loader carry an address over
                // from the entry before, say which one would be handed out.
                Add(DevicesFile, entry.Key, machine.IP.empty()
                                                ? board + " has no IP address"
                                                : board + " has no IP of its own; it would be given " + machine.IP +
                                                      ", the address of the entry before it");
                return;
            }
            const std::optional<uint32_t> address = ParseIPv4(machine.IP);
            if (!address) {
                Add(DevicesFile, entry.IP, board + ": IP '" + machine.IP + "' is not an IPv4 address");
                return;
            }
            const auto owner = owners.emplace(*address, entry.Serial);
            if (!owner.second)
                Add(DevicesFile, entry.IP, board + " has the address " + machine.IP + " of board " +
                                               std::to_string(owner.first->second));
            bool inSubnet = false;
            for (const KNETInterfaceEx& served : Served) {
                const std::optional<uint32_t> local = ParseIPv4(served.Address);
                const std::optional<uint32_t> mask = ParseIPv4(served.NetMask);
                if (local && mask && (*local & *mask) == (*address & *mask))
                    inSubnet = true;
                if (local && *local == *address)
                    Add(DevicesFile, entry.IP, board + ": address " + machine.IP + " belongs to this host");
            }
            if (!inSubnet && !Served.empty())
                Add(DevicesFile, entry.IP, board + ": address " + machine.IP +
                                               " is outside every served interface's subnet");
        });
    }

    void CheckBoardFirmware()
    {
        ForEachBoard([&](const KBoardEntry& entry, const KBOOTPMachine& machine) {
            if (!machine.SetNewFirmware)
                return;
            const std::string board = "board " + std::to_string(entry.Serial);
            if (machine.Firmware.empty()) {
                Add(DevicesFile, entry.Firmware, board + ": SetNewFirmware is set but Firmware is empty");
                return;
            }
            if (!KConfigRules::FirmwareNameFits(machine.Firmware))
                Add(DevicesFile, entry.Firmware, board + ": firmware name is " + std::to_string(machine.Firmware.size()) +
                                                     " characters long; the boot reply's file field holds " +
                                                     std::to_string(KConfigRules::MaxFirmwareName));
            const std::string why = Resolve(machine.Firmware).second;
            if (!why.empty())
                Add(DevicesFile, entry.Firmware, board + ": " + why);
        });
    }

    std::string ConfigDir;
    std::string FirmwareDir;
    std::list<KNETInterfaceEx> Host;
    std::list<KNETInterfaceEx> Served; // empty without host checks: no subnet is checked
    bool HostChecks;

    std::string TavoFile;
    YAML::Node TavoDoc;
    config::TAVOSettings Service;
    std::string DevicesFile;
    YAML::Node DevicesDoc;
    config::DevicesTables Devices;
    std::vector<KBoardEntry> Boards;

    std::vector<KConfigProblem> Problems;
};

} // namespace

KConfigChecker::KConfigChecker(std::string configDir, std::string firmwareDir)
    : ConfigDir(std::move(configDir)), FirmwareDir(std::move(firmwareDir))
{
}

void KConfigChecker::SetHostInterfaces(std::list<KNETInterfaceEx> interfaces)
{
    HostInterfaces = std::move(interfaces);
}

void KConfigChecker::SkipHostChecks()
{
    HostChecks = false;
}

std::vector<KConfigProblem> KConfigChecker::Check()
{
    std::list<KNETInterfaceEx> host;
    if (HostInterfaces)
        host = *HostInterfaces;
    else if (HostChecks)
        KNETInterface::FindInterfaces(std::list<kstring>(), host);
    return KCheckRun(ConfigDir, FirmwareDir, host, HostChecks).Run();
}
