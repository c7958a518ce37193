// Any bytes as the host configuration for the boards (system.yaml, documents "Network" and
// "InternalConfigs"), loaded into the two process-wide objects the TFTP server reads, then the
// generated board files written from them. Checks: a load either succeeds, leaving only values
// the boards can use, or ends in the framework's exception and leaves the object as it was;
// every generated file is CR LF text followed by the CRC-32 of that text.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "Basekit/KBaseException.h"
#include "Basekit/KException.h"
#include "Tools/TAVO/InternalConfigs.h"
#include "Tools/TAVO/KConfig.h"
#include "Tools/TAVO/KConfigReloader.h"
#include "Tools/TAVO/KTFTPServer.h"
#include "Tools/TAVO/NetworkConfig.h"

namespace {

const char* const SystemPath = "/etc/varnel/config/system.yaml";

void WriteText(const char* path, const std::string& text)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Bit by bit, so that it shares nothing with the writer's table.
uint32_t Crc32(const std::string& bytes)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void CheckGenerated(const std::string& path)
{
    const std::string file = ReadFile(path);
    if (file.size() < 4)
        abort();
    const std::string text = file.substr(0, file.size() - 4);
    uint32_t trailer = 0;
    for (size_t i = text.size(); i < file.size(); ++i)
        trailer = (trailer << 8) | static_cast<unsigned char>(file[i]);
    if (trailer != Crc32(text))
        abort();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
            abort();
    }
}

bool Same(const config::NetworkSettings& a, const config::NetworkSettings& b)
{
    return a.LocalAudioInterface == b.LocalAudioInterface && a.LocalAudioPort == b.LocalAudioPort &&
           a.MediaServerAddress == b.MediaServerAddress && a.MediaServerPort == b.MediaServerPort &&
           a.SignalingServerAddress == b.SignalingServerAddress && a.SignalingServerPort == b.SignalingServerPort &&
           a.T8WServerAddress == b.T8WServerAddress && a.T8WServerPort == b.T8WServerPort &&
           a.T8WQueryPort == b.T8WQueryPort && a.T8WSnmpPort == b.T8WSnmpPort &&
           a.ConnectionTimeout == b.ConnectionTimeout && a.SimServerAddress == b.SimServerAddress &&
           a.SimServerPort == b.SimServerPort && a.SimClientLog == b.SimClientLog &&
           a.AudioStreamingMinPort == b.AudioStreamingMinPort && a.AudioStreamingMaxPort == b.AudioStreamingMaxPort;
}

bool Same(const config::InternalSettings& a, const config::InternalSettings& b)
{
    return a.T8WServerBuffer == b.T8WServerBuffer && a.T8WClientBuffer == b.T8WClientBuffer &&
           a.TdmopBuffer == b.TdmopBuffer && a.RtqBuffer == b.RtqBuffer && a.NdxBuffer == b.NdxBuffer;
}

bool Port(unsigned value)
{
    return value >= 1 && value <= 65535;
}

bool Usable(const config::NetworkSettings& n)
{
    return Port(n.LocalAudioPort) && Port(n.MediaServerPort) && Port(n.SignalingServerPort) &&
           Port(n.T8WServerPort) && Port(n.T8WQueryPort) && Port(n.T8WSnmpPort) && Port(n.SimServerPort) &&
           Port(n.AudioStreamingMinPort) && Port(n.AudioStreamingMaxPort) &&
           n.AudioStreamingMaxPort >= n.AudioStreamingMinPort + 100;
}

bool Usable(const config::InternalSettings& i)
{
    for (unsigned size : {i.T8WServerBuffer, i.T8WClientBuffer, i.TdmopBuffer, i.RtqBuffer, i.NdxBuffer}) {
        if (size < 1 || size > 2048)
            return false;
    }
    return true;
}

template <class Config>
void Load(Config& config)
{
    const auto before = config.Copy();
    try {
        config::KConfigReloader::Reload(config, false);
    } catch (const KTemplateException<config::KReloadable>&) {
        if (!Same(before, config.Copy()))
            abort();
    }
    if (!Usable(config.Copy()))
        abort();
}

KTFTPServer& Setup()
{
    static KTFTPServer* server = [] {
        // The fixed paths are the sandbox's own (the replay test and the campaign run there).
        const char* sandboxed = std::getenv("TAVO_SANDBOXED");
        if (!sandboxed || std::string(sandboxed) != "1")
            abort();
        WriteText("/etc/varnel/config/devices.yaml", "Devices:\n  - 1234:\n      Type: NDX\n      IP: 192.0.2.50\n      Replacer: 5678\n");
        WriteText(SystemPath, "Network:\n  MediaServerAddress: 192.0.2.1\n");
        config::KConfig<config::NetworkConfig, 0>::instance();
        config::KConfig<config::InternalConfigs, 0>::instance();
        return new KTFTPServer; // lives to the end of the process
    }();
    return *server;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    KTFTPServer& server = Setup();
    WriteText(SystemPath, std::string(reinterpret_cast<const char*>(data), size));
    Load(*config::KConfig<config::NetworkConfig, 0>::instance());
    Load(*config::KConfig<config::InternalConfigs, 0>::instance());
    try {
        server.CreateSpecialCases();
    } catch (const basekit::KException&) {
        abort(); // the directory is there and the devices file is fixed
    }
    for (const char* name : {"system.yaml", "klog.cfg", "replacements.yaml"})
        CheckGenerated(std::string(server.GetFirmwarePath().c_str()) + "/" + name);
    return 0;
}
