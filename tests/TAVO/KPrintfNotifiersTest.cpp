// The printf notifiers turn the servers' progress calls into trace lines of the General logger.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "Basekit/KLogger.h"
#include "Tools/TAVO/KBOOTPPrintfNotifier.h"
#include "Tools/TAVO/KTFTPPrintfNotifier.h"
#include "Tools/TAVO/TAVOService.h"
#include "tests/support/TestKit.h"

namespace {

const char* const TavoLog = "/var/log/varnel/tavo.log";
const char* const MessagesLog = "/var/log/varnel/messages.log";

using testkit::Lines;

// The lines added to a log since the fixture started (writers flush every non-lazy line).
class KPrintfNotifierTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        KLogger::OverwriteOption(klsTAVO, kloTavoGeneral);
        Before = Lines(TavoLog).size();
    }
    void TearDown() override { KLogger::ReleaseOverwrittenOption(klsTAVO); }

    std::vector<std::string> NewLines() const
    {
        std::vector<std::string> lines = Lines(TavoLog);
        return std::vector<std::string>(lines.begin() + std::min(Before, lines.size()), lines.end());
    }

    // Trace level letter, date and time with milliseconds, the name padded to 8, "| ", text.
    static void ExpectTraceLine(const std::string& line, const std::string& text)
    {
        static const std::regex header(R"(T\|\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\.\d{3}\|General \| )");
        std::smatch match;
        ASSERT_TRUE(std::regex_search(line, match, header)) << line;
        EXPECT_EQ(match.position(0), 0) << line;
        EXPECT_EQ(match.suffix().str(), text) << line;
    }

    std::size_t Before = 0;
};

struct KBootCase {
    const char* Client;
    KBOOTStatus Status;
    const char* Expected;
};

const KBootCase BootCases[] = {
    {"0A:3D:91:12:34:56", bsAddressAssigned, "Client 0A:3D:91:12:34:56 boot phase: 0"},
    {"0A:3D:91:12:34:56", bsReplySent, "Client 0A:3D:91:12:34:56 boot phase: 1"},
    {"0A:3D:91:00:00:01", bsReplyFailed, "Client 0A:3D:91:00:00:01 boot phase: 2"},
    // a server error has no client: two blanks around the empty text
    {"", bsServerError, "Client  boot phase: 3"},
};

struct KTftpCase {
    const char* Client;
    KTFTPStatus Status;
    const char* Detail;
    const char* Expected;
};

const KTftpCase TftpCases[] = {
    // phases below 10 are padded to two digits
    {"192.0.2.50", tsRequest, "", "Client 192.0.2.50 tftp phase: 00 "},
    {"192.0.2.50", tsSending, "/etc/varnel//data/am17/fw.bin",
     "Client 192.0.2.50 tftp phase: 01 /etc/varnel//data/am17/fw.bin"},
    {"192.0.2.50", tsNoFileName, "", "Client 192.0.2.50 tftp phase: 04 "},
    {"192.0.2.51", tsFileNotFound, "", "Client 192.0.2.51 tftp phase: 07 "},
    {"192.0.2.51", tsCancelled, "", "Client 192.0.2.51 tftp phase: 12 "},
    {"", tsServerError, "error in server thread: bind failed",
     "Client  tftp phase: 13 error in server thread: bind failed"},
    // texts from the network are data, never a format
    {"192.0.2.52", tsSending, "/x/%s%n%d.bin", "Client 192.0.2.52 tftp phase: 01 /x/%s%n%d.bin"},
};

TEST_F(KPrintfNotifierTest, BootPhasesAreDecimalTraceLines)
{
    KBOOTPPrintfNotifier notifier(TAVOService::Logger);
    for (const KBootCase& c : BootCases)
        notifier.ClientStatus(c.Client, c.Status);

    const std::vector<std::string> lines = NewLines();
    ASSERT_EQ(lines.size(), std::size(BootCases));
    for (std::size_t i = 0; i < lines.size(); ++i)
        ExpectTraceLine(lines[i], BootCases[i].Expected);
}

TEST_F(KPrintfNotifierTest, TftpPhasesAreTwoDigitTraceLinesWithDetail)
{
    KTFTPPrintfNotifier notifier(TAVOService::Logger);
    for (const KTftpCase& c : TftpCases)
        notifier.ClientStatus(c.Client, c.Status, c.Detail);

    const std::vector<std::string> lines = NewLines();
    ASSERT_EQ(lines.size(), std::size(TftpCases));
    for (std::size_t i = 0; i < lines.size(); ++i)
        ExpectTraceLine(lines[i], TftpCases[i].Expected);
}

TEST_F(KPrintfNotifierTest, PhasesAreHiddenWhenGeneralTraceIsOff)
{
    // Other TAVO options stay on: the lines belong to General, not to BOOTP or TFTP.
    KLogger::OverwriteOption(klsTAVO, kloTavoBOOTP | kloTavoTFTP | kloTavoTime);
    const std::size_t messagesBefore = Lines(MessagesLog).size();

    KBOOTPPrintfNotifier boot(TAVOService::Logger);
    KTFTPPrintfNotifier tftp(TAVOService::Logger);
    boot.ClientStatus("0A:3D:91:12:34:56", bsReplySent);
    tftp.ClientStatus("192.0.2.50", tsFinished, "");

    EXPECT_TRUE(NewLines().empty());
    // trace lines are never copied to messages.log
    EXPECT_EQ(Lines(MessagesLog).size(), messagesBefore);
}

} // namespace
