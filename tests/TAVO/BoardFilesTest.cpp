// The generated board files beyond what a board fetches from the running daemon (their texts
// are checked there): their writer (CR LF text across writes, the big-endian CRC-32 trailer, a
// target that changes only when a complete file replaces it), reload passes racing the rewrite
// of replacements.yaml, and an alternative path that is the firmware directory itself (that no
// port is opened then is an end-to-end case). The network rules behind system.yaml are met
// through the checker's table.
#include <atomic>
#include <dirent.h>
#include <gtest/gtest.h>
#include <thread>

#include "Basekit/KException.h"
#include "Tools/TAVO/InternalConfigs.h"
#include "Tools/TAVO/KCRCFileWriter.h"
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

const std::string Dir = "/var/tmp/crcwriter/";

// Trailers are zlib's crc32 of the same bytes ("123456789" gives the published check value).
TEST(CrcFileWriter, HoldsCrLfTextAndTheCrcOfItMostSignificantByteFirst)
{
    const struct {
        const char* name;
        std::vector<std::string> writes;
        std::string file; // trailer included
    } cases[] = {
        {"across_writes", {"1234", "", "56789"}, "123456789\xCB\xF4\x39\x26"},
        {"empty", {}, std::string(4, '\0')},
        {"blank_line", {"a\n", "\nb"}, "a\r\n\r\nb\xB4\xCC\x22\x24"},
    };
    for (const auto& c : cases) {
        WriteFile(Dir + c.name, "old");
        {
            KCRCFileWriter writer(Dir + c.name);
            for (const std::string& text : c.writes)
                writer.Write(text);
        }
        EXPECT_EQ(ReadFile(Dir + c.name), c.file) << c.name;
    }
}

TEST(CrcFileWriter, TargetChangesOnlyWhenACompleteFileReplacesIt)
{
    WriteFile(Dir + "kept/replacements.yaml", "complete");
    {
        KCRCFileWriter discarded(Dir + "kept/replacements.yaml");
        discarded.Write("half of a ");
        discarded.Discard();
    }
    EXPECT_EQ(ReadFile(Dir + "kept/replacements.yaml"), "complete");
    {
        KCRCFileWriter writer(Dir + "kept/replacements.yaml");
        writer.Write("next\n");
        EXPECT_EQ(ReadFile(Dir + "kept/replacements.yaml"), "complete");
    }
    EXPECT_EQ(ReadFile(Dir + "kept/replacements.yaml"), "next\r\n\x7A\xE6\xE8\x18"); // zlib's crc32 of "next\r\n"
    int entries = 0; // no temporary file is left behind
    DIR* listing = opendir((Dir + "kept").c_str());
    while (dirent* entry = readdir(listing))
        entries += entry->d_name[0] != '.';
    closedir(listing);
    EXPECT_EQ(entries, 1);
}

TEST(CrcFileWriter, UnopenablePathThrowsWithThePath)
{
    EXPECT_THROW(
        try { KCRCFileWriter writer(Dir + "missing/system.yaml"); } catch (const basekit::KException& error) {
            EXPECT_STREQ(error.what(), ("Error opening file " + Dir + "missing/system.yaml").c_str());
            throw;
        },
        basekit::KException);
}

} // namespace
