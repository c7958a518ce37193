// The reload channel against a log server written here (TCP on loopback): filters switching
// Trace lines, bad frames, a handler-less reload, requests to the server and a shutdown that
// does not wait for the server. Whose server is obeyed is the end-to-end hostile-peer test's.
#include <chrono>
#include <future>

#include <gtest/gtest.h>

#include "Basekit/KLogManager.h"
#include "Basekit/KLogger.h"
#include "tests/Basekit/LogTestSupport.h"

namespace {

const unsigned All = 0xFFFFFFFFu;

std::vector<uint8_t> FilterWithTavo(uint32_t options, uint32_t never)
{
    std::vector<logtest::FilterEntry> entries(29, logtest::FilterEntry{All, false, 0});
    entries[klsTAVO] = {options, false, never};
    return logtest::FilterFrame(entries, false, 104857600, 10737418240ull);
}

TEST(ReloadChannel, BadFramesOnlyCostTheConnectionFiltersSwitchTraceAndShutdownIsPrompt)
{
    logtest::Begin("RemoteLogPort=15010\n[TAVO]\nValue=true\nGeneral=true\n");
    KLogger bootp(klsTAVO, kloTavoBOOTP, "BOOTP", "tavo", 0x10, false);
    const testkit::LogTail klog(logtest::Dir + "klog.log");
    logtest::TestLogServer server(15010);
    basekit::Initialize();
    ASSERT_GE(server.Accept(), 0);
    std::vector<uint8_t> half = FilterWithTavo(0, 0);
    half.resize(half.size() / 2);
    const struct {
        std::vector<uint8_t> bytes; // sent before the filter that turns BOOTP Trace the other way
        bool closeAfter;
        const char* line; // in klog.log; the connection is made again unless it is "Ignoring"
    } steps[] = {{{}, false, nullptr},
                 {{4, 0, 0, 0, /*type*/ 3, 0, 0, 0}, false, "| Ignoring log server message of type 3\n"},
                 {half, true, "| Log server connection closed\n"},
                 {{12, 0, 0, 0, /*type*/ 2, 0, 0, 0, /*count*/ 0x88, 0x13, 0, 0, 0, 0, 0, 0}, false,
                  "| Malformed message from log server, connection dropped [invalid log filter: 5000 source entries]\n"},
                 {{4, 0, 0, 0, /*reload*/ 1, 0, 0, 0}, false,
                  "| Configuration reload requested, but no configuration reloader is installed\n"}};
    for (const auto& step : steps) {
        SCOPED_TRACE(step.line ? step.line : "filter alone");
        if (!step.bytes.empty())
            server.Send(step.bytes);
        if (step.closeAfter)
            server.CloseConnection();
        if (step.line) {
            EXPECT_TRUE(klog.WaitFor(step.line));
            if (std::string(step.line).find("connection") != std::string::npos) {
                ASSERT_GE(server.Accept(), 0);
            }
        }
        const bool before = bootp.IsActive(klTrace);
        server.Send(before ? FilterWithTavo(0, All) : FilterWithTavo(kloTavoBOOTP, 0));
        ASSERT_TRUE(logtest::WaitUntil([&] { return bootp.IsActive(klTrace) != before; }, 5000));
        bootp.Trace(before ? "trace while off" : "trace while on");
    }
    const std::string tavo = logtest::ReadFile(logtest::Dir + "tavo.log");
    EXPECT_NE(tavo.find("|BOOTP   | trace while on\n"), std::string::npos);
    EXPECT_EQ(tavo.find("trace while off"), std::string::npos);
    EXPECT_NE(tavo.find("\t\t\t\t ***** CHECKPOINT "), std::string::npos); // a second filter marks files in use

    // Requests are log messages of writer "0" on the channel the last filter came over.
    KLogger::ReloadConfig();
    std::vector<uint8_t> frame;
    EXPECT_TRUE(server.Read(frame, 21, 5000));
    EXPECT_EQ(frame, (std::vector<uint8_t>{17, 0, 0, 0,                                   // frame size
                                           2, 0, 0, 0, '0', 0,                            // writer "0"
                                           7, 0, 0, 0, 'r', 'e', 'l', 'o', 'a', 'd', 0})); // request
    KLogManager::GetMe(false)->RequestKConfigReload();
    std::string name, text;
    ASSERT_TRUE(server.ReadLogMessage(name, text, 5000));
    EXPECT_EQ(name + " " + text, "0 config_reload");

    // Finalize ends the reload thread promptly while it waits for the server's next frame (the
    // daemon's stops in the end-to-end tests end it while it waits to connect).
    auto done = std::async(std::launch::async, [] { basekit::Finalize(); });
    ASSERT_EQ(done.wait_for(std::chrono::milliseconds(1000)), std::future_status::ready) << "Finalize hangs";
    EXPECT_TRUE(klog.WaitFor("| Leaving reload config thread\n"));
}

} // namespace
