// The generated board files beyond what a board fetches from the running daemon (their texts
// are checked there): the network rules behind system.yaml, reload passes racing the rewrite
// of replacements.yaml, and an alternative path that is the firmware directory itself (that
// no port is opened then is an end-to-end case).
#include <atomic>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <thread>

#include "Basekit/KBaseException.h"
#include "Tools/TAVO/InternalConfigs.h"
#include "Tools/TAVO/KConfig.h"
#include "Tools/TAVO/KConfigReloader.h"
#include "Tools/TAVO/KTFTPServer.h"
#include "Tools/TAVO/NetworkConfig.h"
#include "Tools/TAVO/TAVOCfg.h"
#include "tests/TAVO/TAVOTestKit.h"

using namespace tavotest;

namespace {

const KNETInterfaceEx Loopback{"127.0.0.1", "255.0.0.0", "127.255.255.255"};

std::string Board(unsigned serial, const std::string& ip, unsigned replacer = 0)
{
    return "  - " + std::to_string(serial) + ":\n      Type: NDX\n      IP: " + ip +
           "\n      Replacer: " + std::to_string(replacer) + "\n";
}

class BoardFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        WriteConfig("tavo", "tavo:\n  tftp:\n    Port: 69\n");
        WriteConfig("devices", "Devices:\n" + Board(1, "192.0.2.50"));
        WriteConfig("system", "Network:\n  MediaServerAddress: 192.0.2.1\n");
        Reload();
    }
    static void Reload()
    {
        config::KConfig<config::TAVOCfg, 0>::instance(true);
        config::KConfig<config::NetworkConfig, 0>::instance(true);
        config::KConfig<config::InternalConfigs, 0>::instance(true);
    }

    KTFTPServer Server;
};

TEST(NetworkValidation, ChecksEveryPortAndAnAudioRangeOfAtLeast100)
{
    const struct {
        const char* yaml;
        const char* error; // empty: accepted
    } cases[] = {
        {"Network:\n  AudioStreamingMinPort: 17000\n  AudioStreamingMaxPort: 17100\n", ""},
        {"Network:\n  AudioStreamingMinPort: 17000\n  AudioStreamingMaxPort: 17099\n",
         "Real time audio port range is invalid (Min=17000, Max=17099)"},
        {"Network:\n  AudioStreamingMinPort: 18000\n  AudioStreamingMaxPort: 16000\n",
         "Real time audio port range is invalid (Min=18000, Max=16000)"},
        {"Network:\n  T8WSnmpPort: 65536\n", "T8WSnmpPort value(65536) is not a valid port (1-65535)"},
    };
    for (const auto& c : cases) {
        WriteConfig("system", c.yaml);
        config::NetworkConfig network;
        std::string error;
        try {
            config::KConfigReloader::Reload(network, false);
        } catch (const KBaseException& failure) {
            error = failure.what();
        }
        EXPECT_EQ(error.empty(), !*c.error) << c.yaml;
        EXPECT_THAT(error, ::testing::HasSubstr(c.error));
    }
}

TEST_F(BoardFiles, ReloadPassesWhileTransfersRewriteReplacementsNeverMeetAHalfBuiltObject)
{
    // Each rewrite builds and drops a private devices object; a reload pass from the log
    // server must never find it registered but half built (a pure virtual call ends the daemon).
    WriteConfig("devices", "Devices:\n" + Board(1, "192.0.2.50", 11));
    std::atomic<bool> writing{true};
    std::atomic<int> passes{0};
    std::thread reloads([&] {
        for (; writing; ++passes)
            config::KConfigReloader::Reload(kstring());
    });
    for (int i = 0; i < 1000; ++i)
        Server.CreateReplacementsYAML();
    writing = false;
    reloads.join();
    EXPECT_GT(passes.load(), 0);
}

TEST_F(BoardFiles, AlternativePathEqualToTheFirmwareDirectoryCopiesNothing)
{
    WriteConfig("tavo", "tavo:\n  tftp:\n    AlternativePath: " + Server.GetFirmwarePath() + "\n");
    Reload();
    LogWatch log;
    EXPECT_EQ(Server.Start({Loopback}, 69, 64), 0);
    EXPECT_TRUE(log.WaitFor("Alternative service may be running with path: " + Server.GetFirmwarePath()));
    EXPECT_EQ(log.Text().find("Fail"), std::string::npos); // a copy would fail on "." and ".."
}

} // namespace
