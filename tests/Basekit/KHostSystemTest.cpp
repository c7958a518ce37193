// Host-system layer: semaphores, events, ticks, directory scans, path helpers and the one
// service object a process may have (the service host's runs are the end-to-end service tests').
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <future>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <sys/stat.h>
#include <vector>

#include "Basekit/KHostSystem.h"
#include "Basekit/KSemaphore.h"
#include "Basekit/KSystemEvent.h"
#include "Basekit/LM7/Basics/KServiceBaseLinux.h"
#include "tests/support/TestKit.h"

namespace {

const unsigned kForever = 4294967295u;

// A fresh directory under the sandbox's private /var/tmp for one case.
std::string ScratchDirectory()
{
    char pattern[] = "/var/tmp/hostsystem.XXXXXX";
    const char* made = mkdtemp(pattern);
    EXPECT_NE(made, nullptr);
    return made ? made : "/var/tmp";
}

void Touch(const std::string& path)
{
    testkit::WriteFile(path, "x");
}

TEST(Semaphore, ReleaseNeverCountsAboveTheMaximum)
{
    const struct {
        int maximum, released, acquirable;
    } cases[] = {{2, 5, 2}, {3, 3, 3}, {3, 1, 1}, {1, 0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "max " << c.maximum << " released " << c.released);
        void* semaphore = KHostSystem::CreateCountSemaphore(0, c.maximum);
        ASSERT_NE(semaphore, nullptr);
        EXPECT_TRUE(KHostSystem::ReleaseSemaphore(semaphore, c.released));
        for (int i = 0; i < c.acquirable; ++i)
            EXPECT_EQ(KHostSystem::WaitOnSemaphore(semaphore, 0), 0) << "acquisition " << i;
        EXPECT_EQ(KHostSystem::WaitOnSemaphore(semaphore, 0), 1); // empty now: time-out
        KHostSystem::DeleteSemaphore(semaphore);
    }
    basekit::KSemaphore object(1);
    EXPECT_FALSE(object.Wait(0));
    EXPECT_TRUE(object.Release());
    EXPECT_TRUE(object.Release()); // beyond the maximum: accepted, not counted
    EXPECT_TRUE(object.Wait(0));
    EXPECT_FALSE(object.Wait(0));
}

TEST(Event, PulsesBeforeTheWaitAreKeptOnceAndAPulseWakesAWaiterThatWaitsForever)
{
    void* event = KHostSystem::CreateSystemEvent();
    KHostSystem::PulseSystemEvent(event);
    KHostSystem::PulseSystemEvent(event);
    EXPECT_EQ(KHostSystem::WaitEvent(event, 0), 0); // signalled: returns at once
    EXPECT_EQ(KHostSystem::WaitEvent(event, 0), 2); // the wait cleared it: time-out
    EXPECT_EQ(KHostSystem::CloseSystemEvent(event), 0);

    basekit::KSystemEvent object;
    void* semaphore = KHostSystem::CreateCountSemaphore(0, 1);
    auto eventWaiter = std::async(std::launch::async, [&] { return object.Wait(kForever); });
    auto semaphoreWaiter =
        std::async(std::launch::async, [&] { return KHostSystem::WaitOnSemaphore(semaphore, kForever); });
    object.Pulse();
    KHostSystem::ReleaseSemaphore(semaphore, 1);
    ASSERT_EQ(eventWaiter.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    ASSERT_EQ(semaphoreWaiter.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(eventWaiter.get());
    EXPECT_EQ(semaphoreWaiter.get(), 0);
    KHostSystem::DeleteSemaphore(semaphore);
}

TEST(Tick, DiffTimeCountsAcrossTheWrapAndAReplacedSourceFeedsGetTick)
{
    const unsigned cases[][3] = {// start, end, difference (wrapped: end - start + 4294967295)
                                 {5, 15, 10}, {7, 7, 0}, {0, kForever, kForever}, {4294967290u, 5, 10}, {1, 0, 4294967294u}};
    for (const auto& c : cases)
        EXPECT_EQ(KHostSystem::diffTime(c[0], c[1]), c[2]) << c[0] << " to " << c[1];
    {
        testkit::FakeTick tick(3);
        EXPECT_EQ(KHostSystem::GetTick(), 3u);
        EXPECT_EQ(basekit::time::GetTick(), 3u);
        EXPECT_EQ(KHostSystem::diffTime(kForever), 3u);
    }
    EXPECT_NE(KHostSystem::GetTick(), 3u); // the monotonic clock again
}

TEST(Scan, FindFirstAndNextReturnEveryEntryOnceWhoseExtensionMatchesWithoutCase)
{
    const std::tuple<const char*, const char*, bool> names[] = {
        {"FIRMWARE.BIN", "bin", true}, {"firmware.bin", "BIN", true}, {"image.tar.gz", "gz", true}, {".", "*", true},
        {"anything", "*", true},       {"image.tar.gz", "tar", false}, {"image.binx", "bin", false},
        {"noextension", "bin", false}, {".", "bin", false},           {"..", "", false}};
    for (const auto& [name, extension, matches] : names)
        EXPECT_EQ(KHostSystem::ExtensionCompare(name, extension), matches) << name << " / " << extension;

    const std::string dir = ScratchDirectory();
    Touch(dir + "/a.bin");
    Touch(dir + "/b.BIN");
    Touch(dir + "/c.txt");
    ASSERT_FALSE(KHostSystem::MakeDirectory((dir + "/d").c_str()));
    const std::multiset<std::string> all = {".", "..", "a.bin", "b.BIN", "c.txt", "d"};
    const std::pair<const char*, std::multiset<std::string>> cases[] = {
        {"*", all}, {nullptr, all}, {"bin", {"a.bin", "b.BIN"}}, {"TXT", {"c.txt"}}, {"log", {}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first ? c.first : "no extension");
        std::multiset<std::string> seen;
        char name[256];
        int result = -1;
        void* handle = KHostSystem::FindFirst(dir.c_str(), c.first, name, &result);
        ASSERT_NE(handle, nullptr);
        for (int guard = 0; result == 0 && guard < 100; ++guard) {
            seen.insert(name);
            result = KHostSystem::FindNext(handle, c.first, name);
        }
        EXPECT_EQ(result, 6);
        EXPECT_EQ(KHostSystem::FindNext(handle, c.first, name), 6); // stays at the end
        KHostSystem::FindClose(handle);
        EXPECT_EQ(seen, c.second);
    }
    char name[256];
    int result = -1;
    EXPECT_EQ(KHostSystem::FindFirst("/var/tmp/does/not/exist", "*", name, &result), nullptr);
    EXPECT_EQ(result, 6);
    EXPECT_EQ(KHostSystem::FindNext(nullptr, "*", name), 6);
}

TEST(MakeDirectory, CreatesEveryMissingLevelAndFailsOnAFileInThePath)
{
    const std::pair<const char*, const char*> cases[] = {// path made, directory there afterwards
        {"/one", "/one"}, {"/a/b/c/d", "/a/b/c/d"}, {"/a/b/c/", "/a/b/c"}, {"\\win\\style\\dirs", "/win/style/dirs"},
        {"/mixed\\seps/x", "/mixed/seps/x"}};
    const std::string dir = ScratchDirectory();
    for (const auto& c : cases) {
        EXPECT_FALSE(KHostSystem::MakeDirectory((dir + c.first).c_str())) << c.first; // false is success
        struct stat info{};
        EXPECT_TRUE(stat((dir + c.second).c_str(), &info) == 0 && S_ISDIR(info.st_mode)) << c.second;
        EXPECT_FALSE(KHostSystem::MakeDirectory((dir + c.first).c_str())) << c.first; // existing is fine
    }
    Touch(dir + "/file");
    EXPECT_TRUE(KHostSystem::MakeDirectory((dir + "/file").c_str()));
    EXPECT_TRUE(KHostSystem::MakeDirectory((dir + "/file/below").c_str()));
}

TEST(Uniquify, InsertsTheFirstFreeNumberBeforeTheExtensionThenTheUnixTime)
{
    // existing files (the first one is asked for), the name given; a dot in a directory name is no extension
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{"x.log"}, "x.1.log"}, {{"x.log", "x.1.log"}, "x.2.log"}, {{"x.log", "x.2.log"}, "x.1.log"},
        {{"a.b.log"}, "a.b.1.log"}, {{"plain"}, "plain.1"}, {{"dir.d/file"}, "dir.d/file.1"}};
    for (const auto& c : cases) {
        const std::string dir = ScratchDirectory();
        ASSERT_FALSE(KHostSystem::MakeDirectory((dir + "/dir.d").c_str()));
        EXPECT_EQ(basekit::file::UniquifyFilename(dir + "/new.log"), dir + "/new.log");
        for (const std::string& name : c.first)
            Touch(dir + "/" + name);
        EXPECT_EQ(basekit::file::UniquifyFilename(dir + "/" + c.first[0]), dir + "/" + c.second);
    }
    // Ninety-nine numbers taken: the Unix time instead.
    const std::string dir = ScratchDirectory();
    for (int n = 0; n <= 99; ++n)
        Touch(dir + "/x." + (n ? std::to_string(n) + "." : std::string()) + "log");
    const unsigned before = basekit::time::UnixTime();
    const std::string result = basekit::file::UniquifyFilename(dir + "/x.log");
    unsigned long stamp = 0;
    sscanf(result.c_str() + dir.size(), "/x.%lu", &stamp);
    EXPECT_EQ(result, dir + "/x." + std::to_string(stamp) + ".log");
    EXPECT_TRUE(stamp >= before && stamp <= basekit::time::UnixTime()) << result;
}

TEST(ReadLine, CarriageReturnLineFeedBecomesLineFeed)
{
    const std::string path = ScratchDirectory() + "/lines";
    testkit::WriteFile(path, "first\r\nsecond\nthird\r");
    FILE* file = fopen(path.c_str(), "r");
    ASSERT_NE(file, nullptr);
    char buffer[64];
    for (const char* line : {"first\n", "second\n", "third\r"}) {
        ASSERT_NE(KHostSystem::ReadLine(buffer, sizeof(buffer), file), nullptr);
        EXPECT_STREQ(buffer, line);
    }
    EXPECT_EQ(KHostSystem::ReadLine(buffer, sizeof(buffer), file), nullptr);
    fclose(file);
}

class Plain : public basekit::service::KServiceBase {
public:
    Plain() : KServiceBase("plain") {}
};

TEST(ServiceHostInstance, ASecondServiceObjectIsRefused)
{
    static Plain first; // the instance pointer is never cleared, so the first one must outlive the test
    EXPECT_THROW(Plain second, std::logic_error);
    EXPECT_THROW(basekit::service::KServiceBase::_Instance(&first), std::logic_error);
    EXPECT_EQ(basekit::service::KServiceBase::_Instance(nullptr), &first);
}

} // namespace
