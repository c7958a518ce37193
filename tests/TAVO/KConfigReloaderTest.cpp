// Reload passes over the registry, the reload thread, and readers copying configuration
// objects while reloads run. (The log server's reload message is checked against the daemon.)
#include <atomic>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "Tools/TAVO/ConfigLoad.h"
#include "Tools/TAVO/KConfigReloader.h"
#include "Tools/TAVO/TAVOCfg.h"
#include "tests/TAVO/TAVOTestKit.h"

using tavotest::BasekitLog;
using tavotest::LogWatch;
using tavotest::WriteConfig;

namespace {

// Records the order of its loads and how many loads ran at the same time.
class TracedConfig : public config::KReloadable {
public:
    explicit TracedConfig(const char* file = "traced") : KReloadable(file, "", 1) {}
    bool LoadConfig(const YAML::Node&) override
    {
        int now = ++Active;
        int seen = MaxActive.load();
        while (now > seen && !MaxActive.compare_exchange_weak(seen, now)) {
        }
        for (int i = 0; i < 200; ++i) // give another load the chance to overlap
            std::this_thread::yield();
        {
            std::lock_guard<std::mutex> lock(OrderMutex);
            Order += FileName() + " ";
        }
        --Active;
        return true;
    }
    std::unique_ptr<KReloadable> CloneForValidation() const override
    {
        return std::make_unique<TracedConfig>(FileName().c_str());
    }

    static std::atomic<int> Active, MaxActive;
    static std::mutex OrderMutex;
    static std::string Order;
};
std::atomic<int> TracedConfig::Active{0}, TracedConfig::MaxActive{0};
std::mutex TracedConfig::OrderMutex;
std::string TracedConfig::Order;

TEST(KConfigReloader, PassReloadsInCreationOrderAndSkipsBrokenFiles)
{
    WriteConfig("first", "");
    WriteConfig("second", "[");
    WriteConfig("third", "");
    TracedConfig first("first"), second("second"), third("third");
    TracedConfig::Order.clear();
    EXPECT_EQ(tavotest::CountersMoved([] { EXPECT_FALSE(config::KConfigReloader::Reload(kstring())); }),
              (tavotest::Moves{{"reloads-failed", 1}}));
    // clone then object for each; the broken second file stops neither
    EXPECT_EQ(TracedConfig::Order, "first first third third ");
    TracedConfig::Order.clear();
    EXPECT_EQ(tavotest::CountersMoved([] { EXPECT_TRUE(config::KConfigReloader::Reload(kstring("third"))); }),
              (tavotest::Moves{{"reloads-ok", 1}}));
    EXPECT_EQ(TracedConfig::Order, "third third ");
}

// One service file in two versions whose every value tells which version it is.
std::string Version(unsigned n)
{
    const std::string v = std::to_string(n);
    return "tavo:\n  BootP: {RxPort: " + v + ", TxPort: " + v + "}\n  Interfaces: [" + v + "]\n" +
           "  tftp: {Port: " + v + ", AlternativePath: " + v + "}\n  Firmwares: [f: " + v + "]\n";
}

// Quick requests never overlap single loads, and readers never see a half-loaded object.
TEST(KConfigReloader, PassesNeverOverlapAndReadersNeverSeeAHalfLoadedObject)
{
    WriteConfig("tavo", Version(1));
    WriteConfig("traced", "");
    config::TAVOCfg cfg;
    config::KConfigReloader::Reload(cfg, false);
    TracedConfig one, two, three;
    TracedConfig::MaxActive = 0;
    std::atomic<bool> done{false};
    std::atomic<int> torn{0}, reads{0};
    auto reader = [&] {
        while (!done) {
            const config::TAVOSettings s = cfg.Copy();
            const std::string v = std::to_string(s.BootP.RxPort);
            if (s.BootP.TxPort != s.BootP.RxPort || s.Tftp.Port != s.BootP.RxPort || s.Tftp.AlternativePath != v ||
                s.Interfaces != std::list<kstring>{v} || s.Firmwares != std::map<kstring, kstring>{{"f", v}})
                ++torn;
            ++reads;
        }
    };
    std::thread readers[] = {std::thread(reader), std::thread(reader)};
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(config::KConfigReloader::AsyncReloadAll(), 0);
    for (unsigned i = 0; i < 200; ++i) {
        WriteConfig("tavo", Version(i % 2 + 1));
        if (i % 50 == 0)
            config::KConfigReloader::AsyncReloadAll(); // whole passes as well as single loads
        config::KConfigReloader::Reload(cfg, false);
    }
    EXPECT_TRUE(config::KConfigReloader::WaitAsyncReloads(20000)); // every pass started has ended
    done = true;
    for (std::thread& t : readers)
        t.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(TracedConfig::MaxActive.load(), 1);
}

} // namespace
