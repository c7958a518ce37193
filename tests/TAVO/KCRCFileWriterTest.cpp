// The generated-file writer: CR LF text, the big-endian CRC-32 trailer, and a target that
// changes only when a complete file replaces it.
#include <dirent.h>
#include <gtest/gtest.h>

#include "Basekit/KException.h"
#include "Tools/TAVO/KCRCFileWriter.h"
#include "tests/TAVO/TAVOTestKit.h"

using namespace tavotest;

namespace {

const std::string Dir = "/var/tmp/crcwriter/";

// Trailers are the published CRC-32 check values (zlib's crc32 of the same bytes).
TEST(CrcFileWriter, HoldsCrLfTextAndTheCrcOfItMostSignificantByteFirst)
{
    const struct {
        const char* name;
        std::vector<std::string> writes;
        std::string file; // trailer included
    } cases[] = {
        {"abc", {"abc"}, "abc\x35\x24\x41\xC2"},
        {"check", {"123456789"}, "123456789\xCB\xF4\x39\x26"},
        {"across_writes", {"1234", "", "56789"}, "123456789\xCB\xF4\x39\x26"},
        {"empty", {}, std::string(4, '\0')},
        {"cr_counted", {"1234\n"}, "1234\r\n\x31\x82\x13\x1D"},
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
