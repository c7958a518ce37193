// Log files: size rotation into old/ (a move that fails is the end-to-end hostile-local test's),
// the day banner, the pause after a write error with its recovery banner, files reopened per
// line, and subdirectory names.
#include <cerrno>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "Basekit/KLogger.h"
#include "tests/Basekit/LogTestSupport.h"

namespace {

using logtest::Dir, logtest::Nov14;


TEST(KFileLogWriter, RotatesIntoOldWithUniqueNamesInOneSecond)
{
    logtest::Begin("MaxLogFileSize=300\n", Nov14); // small files rotate after a few lines
    KLogger rot(klsTAVO, kloTavoGeneral, "ROT", "rot", 0x10, false);
    std::vector<std::string> lines;
    for (int i = 1; i <= 9; ++i) {
        // 36 bytes of header, 63 of text, the line end: 100 bytes a line
        char text[64];
        snprintf(text, sizeof(text), "line %d %-56s", i, "");
        rot.Notice("%s", text);
        lines.push_back(std::string("N|14/11/2023 22:13:20.000|ROT     | ") + text + "\n");
    }
    // 300 bytes is not over the limit; the fifth and ninth lines find 400 and move the file.
    EXPECT_EQ(logtest::ReadFile(Dir + "old/rot.20231114-221320.log"), lines[0] + lines[1] + lines[2] + lines[3]);
    EXPECT_EQ(logtest::ReadFile(Dir + "old/rot.20231114-221320.1.log"), lines[4] + lines[5] + lines[6] + lines[7]);
    EXPECT_EQ(logtest::ReadFile(Dir + "rot.log"), lines[8]);
}

// messages.log gets no banner, and when deleted while running it is made again at the next line.
TEST(KFileLogWriter, DateBannerBeforeFirstLineOfNewDayExceptInMessagesWhichSurvivesDeletion)
{
    logtest::Begin("", 1700006399, 500); // 14/11/2023 23:59:59.500
    KLogger day(klsTAVO, kloTavoGeneral, "DAY", "day", 0x10, false);
    day.Notice("before");
    logtest::SetClock(1700006401); // 15/11/2023 00:00:01
    day.Info("after");
    EXPECT_EQ(logtest::ReadFile(Dir + "day.log"),
              "N|14/11/2023 23:59:59.500|DAY     | before\n"
              "\n\n*****[ DATE ]*********************/ 15/11/2023 00:00:01 /*****\n"
              "I|15/11/2023 00:00:01.000|DAY     | after\n");
    std::string messages = logtest::ReadFile(Dir + "messages.log");
    EXPECT_NE(messages.find("I|15/11/2023 00:00:01.000|DAY     | after (day)\n"), std::string::npos);
    EXPECT_EQ(messages.find("[ DATE ]"), std::string::npos);
    ASSERT_EQ(unlink((Dir + "messages.log").c_str()), 0);
    day.Warning("two");
    day.Error("three");
    EXPECT_EQ(logtest::ReadFile(Dir + "messages.log"), "W|15/11/2023 00:00:01.000|DAY     | two (day)\n"
                                                       "E|15/11/2023 00:00:01.000|DAY     | three (day)\n");
}

TEST(KFileLogWriter, FullDiskPausesThirtySecondsThenWritesIoErrorBanner)
{
    logtest::Begin("", Nov14);
    const std::string full = Dir + "full";
    mkdir(Dir.c_str(), 0755);
    mkdir(full.c_str(), 0755);
    ASSERT_EQ(mount("tmpfs", full.c_str(), "tmpfs", 0, "size=16k"), 0) << strerror(errno);
    logtest::SystemLogCapture systemLog;

    // Fill the small file system completely.
    int filler = open((full + "/filler").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(filler, 0);
    char block[1024] = {};
    while (write(filler, block, sizeof(block)) > 0) {
    }
    close(filler);

    KLogger disk(klsTAVO, kloTavoGeneral, "DISK", "full/disk", 0x10, false);
    disk.Notice("lost while full");
    logtest::SetClock(Nov14 + 10);
    disk.Notice("lost while paused");
    unlink((full + "/filler").c_str());
    logtest::SetClock(Nov14 + 29);
    disk.Notice("lost at 29 seconds");
    logtest::SetClock(Nov14 + 31);
    disk.Notice("back");

    std::string content = logtest::ReadFile(full + "/disk.log");
    // errno 28 is ENOSPC; the banner names the time of the first failure.
    EXPECT_EQ(content, "\n*****[ I/O ERROR ]***** 14/11/2023 22:13:51 ***** Lost messages since 14/11/2023 "
                       "22:13:20, due to write error (28) No space left on device.\n\n"
                       "N|14/11/2023 22:13:51.000|DISK    | back\n");
    EXPECT_NE(systemLog.ReadAll().find("fflush(3) failed: (28) No space left on device. Log full/disk disabled by 30 "
                                       "seconds."),
              std::string::npos);
    umount(full.c_str());
}

TEST(KFileLogWriter, SubdirectoriesAreUsedWhenTheyCanBeCreated)
{
    logtest::Begin("");
    KLogger anchor(klsTAVO, kloTavoGeneral, "General", "tavo", 0x10, false); // keeps the manager
    logtest::WriteFile(Dir + "plainfile", ""); // a plain file where the subdirectory would be
    const std::pair<const char*, const char*> cases[] = {{"sub/deeper/x", "sub/deeper/x.log"}, {"plainfile/y", "y.log"}};
    for (const auto& c : cases) {
        KLogger logger(klsTAVO, kloTavoGeneral, "SUB", c.first, 0x10, false);
        logger.Notice("here");
        EXPECT_NE(logtest::ReadFile(Dir + c.second).find("| here\n"), std::string::npos) << c.second;
    }
}

} // namespace
