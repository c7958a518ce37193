// Host-system layer: semaphores, events, ticks, directory scans, unique file names and the one
// service object a process may have (the service host's runs are the end-to-end service tests').
#include <gtest/gtest.h>

#include <cstdlib>
#include <future>
#include <set>
#include <stdexcept>
#include <string>
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
    basekit::KSemaphore object(2);
    EXPECT_FALSE(object.Wait(0));
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(object.Release()); // the third is beyond the maximum: accepted, not counted
    EXPECT_TRUE(object.Wait(0));
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

TEST(Tick, DiffTimeCountsAcrossTheWrap)
{
    const unsigned cases[][3] = {// start, end, difference (wrapped: end - start + 4294967295)
                                 {5, 15, 10}, {7, 7, 0}, {0, kForever, kForever}, {4294967290u, 5, 10}, {1, 0, 4294967294u}};
    for (const auto& c : cases)
        EXPECT_EQ(KHostSystem::diffTime(c[0], c[1]), c[2]) << c[0] << " to " << c[1];
}

TEST(Scan, FindFirstAndNextReturnEveryMatchingEntryOnceThenStayAtTheEnd)
{
    const std::string dir = ScratchDirectory();
    for (const char* name : {"/a.bin", "/b.BIN", "/c.binx"})
        Touch(dir + name);
    const std::pair<const char*, std::multiset<std::string>> cases[] = {
        {"*", {".", "..", "a.bin", "b.BIN", "c.binx"}}, {"bin", {"a.bin", "b.BIN"}}}; // extensions ignore case
    for (const auto& [extension, expected] : cases) {
        std::multiset<std::string> seen;
        char name[256];
        int result = -1;
        void* handle = KHostSystem::FindFirst(dir.c_str(), extension, name, &result);
        ASSERT_NE(handle, nullptr);
        for (int guard = 0; result == 0 && guard < 100; ++guard) {
            seen.insert(name);
            result = KHostSystem::FindNext(handle, extension, name);
        }
        EXPECT_EQ(KHostSystem::FindNext(handle, extension, name), 6); // stays at the end
        KHostSystem::FindClose(handle);
        EXPECT_EQ(seen, expected) << extension;
    }
    char name[256];
    int result = -1;
    EXPECT_EQ(KHostSystem::FindFirst("/var/tmp/does/not/exist", "*", name, &result), nullptr);
    EXPECT_EQ(result, 6);
}

TEST(Uniquify, InsertsTheFirstFreeNumberBeforeTheExtension)
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
