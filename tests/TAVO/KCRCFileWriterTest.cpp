// The generated-file writer: CR LF conversion, the big-endian CRC-32 trailer, and the
// replacement of the target only once the file is complete.
#include <dirent.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "Basekit/KException.h"
#include "Tools/TAVO/KCRCFileWriter.h"
#include "tests/TAVO/FilesTestKit.h"

using namespace filestest;

namespace {

const std::string Dir = "/var/tmp/crcwriter";

std::vector<std::string> Entries(const std::string& dir)
{
    std::vector<std::string> names;
    if (DIR* listing = opendir(dir.c_str())) {
        while (dirent* entry = readdir(listing))
            if (entry->d_name[0] != '.')
                names.push_back(entry->d_name);
        closedir(listing);
    }
    return names;
}

struct CrcCase {
    const char* name;
    std::vector<std::string> writes;
    std::string expected; // file bytes, trailer included
    friend void PrintTo(const CrcCase& c, std::ostream* os) { *os << c.name; }
};

class CrcFileTest : public ::testing::TestWithParam<CrcCase> {};

TEST_P(CrcFileTest, WritesCrLfTextAndBigEndianTrailer)
{
    const CrcCase& c = GetParam();
    const std::string path = Dir + "/" + c.name;
    WriteFile(path, "old content");
    {
        KCRCFileWriter writer(path);
        for (const std::string& text : c.writes)
            writer.Write(text);
    }
    EXPECT_EQ(ReadFile(path), c.expected);
}

// Trailers are the standard CRC-32 check values (zlib's crc32 of the same bytes).
INSTANTIATE_TEST_SUITE_P(
    Vectors, CrcFileTest,
    ::testing::Values(CrcCase{"abc", {"abc"}, "abc\x35\x24\x41\xC2"},
                      CrcCase{"check", {"123456789"}, "123456789\xCB\xF4\x39\x26"},
                      // the CRC runs on across writes
                      CrcCase{"split", {"1234", "", "56789"}, "123456789\xCB\xF4\x39\x26"},
                      CrcCase{"empty", {}, std::string(4, '\0')},
                      // LF becomes CR LF, and the CRC covers the CR
                      CrcCase{"crlf", {"1234\n"}, "1234\r\n\x31\x82\x13\x1D"},
                      CrcCase{"blank_line", {"a\n", "\nb"}, "a\r\n\r\nb\xB4\xCC\x22\x24"}),
    CaseName());

TEST(CrcFileWriter, TargetKeepsOldContentUntilTheWriterIsDone)
{
    const std::string path = Dir + "/pending.yaml";
    WriteFile(path, "previous");
    {
        KCRCFileWriter writer(path);
        writer.Write("next\n");
        EXPECT_EQ(ReadFile(path), "previous");
    }
    EXPECT_EQ(ReadFile(path).substr(0, 6), "next\r\n");
}

TEST(CrcFileWriter, DiscardLeavesTargetAndNoTemporaryFile)
{
    const std::string dir = Dir + "/discard";
    WriteFile(dir + "/replacements.yaml", "complete");
    {
        KCRCFileWriter writer(dir + "/replacements.yaml");
        writer.Write("half of a ");
        writer.Discard();
    }
    EXPECT_EQ(ReadFile(dir + "/replacements.yaml"), "complete");
    EXPECT_EQ(Entries(dir), std::vector<std::string>{"replacements.yaml"});
}

TEST(CrcFileWriter, UnopenablePathThrowsWithThePath)
{
    const std::string path = Dir + "/missing/dir/system.yaml";
    try {
        KCRCFileWriter writer(path);
        FAIL() << "no exception";
    } catch (const basekit::KException& error) {
        EXPECT_EQ(std::string(error.what()), "Error opening file " + path);
    }
}

} // namespace
