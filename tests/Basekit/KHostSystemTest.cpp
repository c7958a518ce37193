// Host-system layer: semaphores, events, ticks, directory scans and path helpers.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <regex>
#include <set>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "Basekit/KHostSystem.h"
#include "Basekit/KSemaphore.h"
#include "Basekit/KSystemEvent.h"
#include "tests/support/TestKit.h"

namespace {

const unsigned kForever = 4294967295u;
const auto kDeadline = std::chrono::seconds(10);

// A fresh directory under the sandbox's private /var/tmp for one test.
std::string ScratchDirectory()
{
    char pattern[] = "/var/tmp/hostsystem.XXXXXX";
    const char* made = mkdtemp(pattern);
    EXPECT_NE(made, nullptr);
    return made ? made : "/var/tmp";
}

void Touch(const std::string& path)
{
    std::ofstream(path) << "x";
}

bool IsDirectory(const std::string& path)
{
    struct stat info{};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// --- semaphores -----------------------------------------------------------------------------

struct ClampCase {
    int maximum;
    int released;
    int acquirable; // what the count holds afterwards
};

void PrintTo(const ClampCase& c, std::ostream* out)
{
    *out << "max" << c.maximum << "_released" << c.released;
}

class SemaphoreClamp : public ::testing::TestWithParam<ClampCase> {};

TEST_P(SemaphoreClamp, ReleaseNeverCountsAboveTheMaximum)
{
    const ClampCase c = GetParam();
    void* semaphore = KHostSystem::CreateCountSemaphore(0, c.maximum);
    ASSERT_NE(semaphore, nullptr);
    EXPECT_TRUE(KHostSystem::ReleaseSemaphore(semaphore, c.released));
    for (int i = 0; i < c.acquirable; ++i)
        EXPECT_EQ(KHostSystem::WaitOnSemaphore(semaphore, 0), 0) << "acquisition " << i;
    EXPECT_EQ(KHostSystem::WaitOnSemaphore(semaphore, 0), 1); // empty now: time-out
    KHostSystem::DeleteSemaphore(semaphore);
}

INSTANTIATE_TEST_SUITE_P(Counts, SemaphoreClamp,
                         ::testing::Values(ClampCase{2, 5, 2}, ClampCase{3, 3, 3}, ClampCase{3, 1, 1},
                                           ClampCase{1, 0, 0}));

TEST(Semaphore, ObjectStartsEmptyAndClampsOneReleaseAtATime)
{
    basekit::KSemaphore semaphore(2);
    EXPECT_FALSE(semaphore.Wait(0));
    EXPECT_TRUE(semaphore.Release());
    EXPECT_TRUE(semaphore.Release());
    EXPECT_TRUE(semaphore.Release()); // beyond the maximum: accepted, not counted
    EXPECT_TRUE(semaphore.Wait(0));
    EXPECT_TRUE(semaphore.Wait(0));
    EXPECT_FALSE(semaphore.Wait(0));
}

TEST(Semaphore, ReleaseWakesAWaiterThatWaitsForever)
{
    void* semaphore = KHostSystem::CreateCountSemaphore(0, 1);
    auto waiter = std::async(std::launch::async, [&] { return KHostSystem::WaitOnSemaphore(semaphore, kForever); });
    KHostSystem::ReleaseSemaphore(semaphore, 1);
    ASSERT_EQ(waiter.wait_for(kDeadline), std::future_status::ready);
    EXPECT_EQ(waiter.get(), 0);
    KHostSystem::DeleteSemaphore(semaphore);
}

// --- events ---------------------------------------------------------------------------------

TEST(Event, PulsesBeforeTheWaitAreKeptForItOnce)
{
    void* event = KHostSystem::CreateSystemEvent();
    KHostSystem::PulseSystemEvent(event);
    KHostSystem::PulseSystemEvent(event);
    EXPECT_EQ(KHostSystem::WaitEvent(event, 0), 0); // signalled: returns at once
    EXPECT_EQ(KHostSystem::WaitEvent(event, 0), 2); // the wait cleared it: time-out
    EXPECT_EQ(KHostSystem::CloseSystemEvent(event), 0);
}

TEST(Event, PulseWakesAWaiterThatWaitsForever)
{
    basekit::KSystemEvent event;
    auto waiter = std::async(std::launch::async, [&] { return event.Wait(kForever); });
    event.Pulse();
    ASSERT_EQ(waiter.wait_for(kDeadline), std::future_status::ready);
    EXPECT_TRUE(waiter.get());
    EXPECT_FALSE(event.Wait(0));
}

// --- ticks ----------------------------------------------------------------------------------

struct DiffCase {
    unsigned start;
    unsigned end;
    unsigned expected;
};

void PrintTo(const DiffCase& c, std::ostream* out)
{
    *out << c.start << "_to_" << c.end;
}

class DiffTime : public ::testing::TestWithParam<DiffCase> {};

TEST_P(DiffTime, CountsAcrossTheWrapUpToTheMaximumTick)
{
    const DiffCase c = GetParam();
    EXPECT_EQ(KHostSystem::diffTime(c.start, c.end), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Ticks, DiffTime,
                         ::testing::Values(DiffCase{5, 15, 10}, DiffCase{7, 7, 0},
                                           DiffCase{0, 4294967295u, 4294967295u},
                                           // wrapped: end - start + 4294967295
                                           DiffCase{4294967290u, 5, 10}, DiffCase{1, 0, 4294967294u}));

TEST(Tick, ReplacedSourceFeedsGetTickAndDiffTime)
{
    {
        testkit::FakeTick tick(3);
        EXPECT_EQ(KHostSystem::GetTick(), 3u);
        EXPECT_EQ(basekit::time::GetTick(), 3u);
        EXPECT_EQ(KHostSystem::diffTime(4294967295u), 3u); // 3 - 4294967295 + 4294967295
    }
    EXPECT_NE(KHostSystem::GetTick(), 3u); // the monotonic clock again (milliseconds since boot)
}

// --- names and directories ------------------------------------------------------------------

struct ExtensionCase {
    const char* name;
    const char* extension;
    bool matches;
};

void PrintTo(const ExtensionCase& c, std::ostream* out)
{
    *out << "name_" << c.name << "_ext_" << c.extension;
}

class Extension : public ::testing::TestWithParam<ExtensionCase> {};

TEST_P(Extension, ComparesTheTextAfterTheLastDotWithoutCase)
{
    const ExtensionCase c = GetParam();
    EXPECT_EQ(KHostSystem::ExtensionCompare(c.name, c.extension), c.matches) << c.name << " / " << c.extension;
}

INSTANTIATE_TEST_SUITE_P(Names, Extension,
                         ::testing::Values(ExtensionCase{"FIRMWARE.BIN", "bin", true},
                                           ExtensionCase{"firmware.bin", "BIN", true},
                                           ExtensionCase{"image.tar.gz", "gz", true},
                                           ExtensionCase{"image.tar.gz", "tar", false},
                                           ExtensionCase{"image.binx", "bin", false},
                                           ExtensionCase{"noextension", "bin", false},
                                           ExtensionCase{".", "bin", false}, ExtensionCase{"..", "", false},
                                           ExtensionCase{".", "*", true}, ExtensionCase{"anything", "*", true}));

struct ScanCase {
    const char* extension;
    std::set<std::string> found;
};

void PrintTo(const ScanCase& c, std::ostream* out)
{
    *out << "ext_" << (c.extension ? c.extension : "none");
}

class Scan : public ::testing::TestWithParam<ScanCase> {};

TEST_P(Scan, FindFirstAndNextReturnEveryMatchingEntryOnce)
{
    const ScanCase c = GetParam();
    const std::string dir = ScratchDirectory();
    Touch(dir + "/a.bin");
    Touch(dir + "/b.BIN");
    Touch(dir + "/c.txt");
    ASSERT_FALSE(KHostSystem::MakeDirectory((dir + "/d").c_str()));

    std::multiset<std::string> seen;
    char name[256];
    int result = -1;
    void* handle = KHostSystem::FindFirst(dir.c_str(), c.extension, name, &result);
    ASSERT_NE(handle, nullptr);
    for (int guard = 0; result == 0 && guard < 100; ++guard) {
        seen.insert(name);
        result = KHostSystem::FindNext(handle, c.extension, name);
    }
    EXPECT_EQ(result, 6);
    EXPECT_EQ(KHostSystem::FindNext(handle, c.extension, name), 6); // stays at the end
    KHostSystem::FindClose(handle);
    EXPECT_EQ(seen, std::multiset<std::string>(c.found.begin(), c.found.end()));
}

INSTANTIATE_TEST_SUITE_P(Extensions, Scan,
                         ::testing::Values(ScanCase{"*", {".", "..", "a.bin", "b.BIN", "c.txt", "d"}},
                                           ScanCase{nullptr, {".", "..", "a.bin", "b.BIN", "c.txt", "d"}},
                                           ScanCase{"bin", {"a.bin", "b.BIN"}}, ScanCase{"TXT", {"c.txt"}},
                                           ScanCase{"log", {}}));

TEST(Scan, MissingDirectoryFindsNothing)
{
    char name[256];
    int result = -1;
    EXPECT_EQ(KHostSystem::FindFirst("/var/tmp/does/not/exist", "*", name, &result), nullptr);
    EXPECT_EQ(result, 6);
    EXPECT_EQ(KHostSystem::FindNext(nullptr, "*", name), 6);
}

struct DirectoryCase {
    const char* relative;   // under the scratch directory
    const char* mustExist;  // a directory that is there afterwards
};

void PrintTo(const DirectoryCase& c, std::ostream* out)
{
    *out << c.mustExist;
}

class MakeDirectory : public ::testing::TestWithParam<DirectoryCase> {};

TEST_P(MakeDirectory, CreatesEveryMissingLevel)
{
    const DirectoryCase c = GetParam();
    const std::string dir = ScratchDirectory();
    const std::string path = dir + c.relative;
    EXPECT_FALSE(KHostSystem::MakeDirectory(path.c_str())); // false is success
    EXPECT_TRUE(IsDirectory(dir + c.mustExist));
    EXPECT_FALSE(KHostSystem::MakeDirectory(path.c_str())); // an existing directory is fine
}

INSTANTIATE_TEST_SUITE_P(Paths, MakeDirectory,
                         ::testing::Values(DirectoryCase{"/one", "/one"}, DirectoryCase{"/a/b/c/d", "/a/b/c/d"},
                                           DirectoryCase{"/a/b/c/", "/a/b/c"},
                                           DirectoryCase{"\\win\\style\\dirs", "/win/style/dirs"},
                                           DirectoryCase{"/mixed\\seps/x", "/mixed/seps/x"}));

TEST(MakeDirectoryFailure, AFileInThePathIsAFailure)
{
    const std::string dir = ScratchDirectory();
    Touch(dir + "/file");
    EXPECT_TRUE(KHostSystem::MakeDirectory((dir + "/file").c_str()));
    EXPECT_TRUE(KHostSystem::MakeDirectory((dir + "/file/below").c_str()));
}

struct UniqueCase {
    std::vector<std::string> existing;
    const char* path;
    const char* expected;
};

void PrintTo(const UniqueCase& c, std::ostream* out)
{
    *out << c.existing.size() << "_taken_" << c.expected;
}

class Uniquify : public ::testing::TestWithParam<UniqueCase> {};

TEST_P(Uniquify, InsertsTheFirstFreeNumberBeforeTheExtension)
{
    const UniqueCase c = GetParam();
    const std::string dir = ScratchDirectory();
    ASSERT_FALSE(KHostSystem::MakeDirectory((dir + "/dir.d").c_str()));
    for (const std::string& name : c.existing)
        Touch(dir + "/" + name);
    EXPECT_EQ(basekit::file::UniquifyFilename(dir + "/" + c.path), dir + "/" + c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Names, Uniquify,
    ::testing::Values(UniqueCase{{}, "x.log", "x.log"}, UniqueCase{{"x.log"}, "x.log", "x.1.log"},
                      UniqueCase{{"x.log", "x.1.log"}, "x.log", "x.2.log"},
                      UniqueCase{{"x.log", "x.2.log"}, "x.log", "x.1.log"},
                      UniqueCase{{"a.b.log"}, "a.b.log", "a.b.1.log"}, UniqueCase{{"plain"}, "plain", "plain.1"},
                      // a dot in a directory name is no extension
                      UniqueCase{{"dir.d/file"}, "dir.d/file", "dir.d/file.1"}));

TEST(UniquifyExhausted, FallsBackToTheUnixTimeWhenNinetyNineNumbersAreTaken)
{
    const std::string dir = ScratchDirectory();
    Touch(dir + "/x.log");
    for (int n = 1; n <= 99; ++n)
        Touch(dir + "/x." + std::to_string(n) + ".log");
    const unsigned before = basekit::time::UnixTime();
    const std::string result = basekit::file::UniquifyFilename(dir + "/x.log");
    const unsigned after = basekit::time::UnixTime();

    std::smatch match;
    const std::string name = result.substr(dir.size() + 1);
    ASSERT_TRUE(std::regex_match(name, match, std::regex(R"(x\.(\d+)\.log)"))) << name;
    const unsigned long stamp = std::stoul(match[1]);
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);
}

// --- text helpers ---------------------------------------------------------------------------

TEST(ReadLine, CarriageReturnLineFeedBecomesLineFeed)
{
    const std::string dir = ScratchDirectory();
    std::ofstream(dir + "/lines") << "first\r\nsecond\nthird\r";
    FILE* file = fopen((dir + "/lines").c_str(), "r");
    ASSERT_NE(file, nullptr);
    char buffer[64];
    const std::vector<std::string> expected = {"first\n", "second\n", "third\r"};
    for (const std::string& line : expected) {
        ASSERT_NE(KHostSystem::ReadLine(buffer, sizeof(buffer), file), nullptr);
        EXPECT_EQ(std::string(buffer), line);
    }
    EXPECT_EQ(KHostSystem::ReadLine(buffer, sizeof(buffer), file), nullptr);
    fclose(file);
}

} // namespace
