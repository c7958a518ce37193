// The operators' view of the boards: one board's road joined from the three servers' events,
// and the bound on strangers that anyone on the boot LAN can add.
#include <gtest/gtest.h>
#include <tuple>

#include "Tools/TAVO/KBoardActivity.h"

namespace {

const std::map<unsigned, std::string> Configured = {{7, "192.0.2.7"}, {8, "192.0.2.8"}};

KBoardActivity::Row RowOf(const KBoardActivity& activity, const std::string& address)
{
    for (const KBoardActivity::Row& row : activity.Rows(Configured, {}))
        if (row.Address == address)
            return row;
    ADD_FAILURE() << "no row for " << address;
    return {};
}

TEST(BoardActivity, ABoardsRoadEndsInABootAndKeepsItsLastError)
{
    KBoardActivity a;
    a.BootpRequest(7, "0A:3D:91:00:00:07", true);
    a.BootpAssigned(7, "192.0.2.7", "192.0.2.1");
    a.BootpProbed(7, KBoardActivity::Probe::Free);
    a.BootpReplied(7, true);
    a.TftpPhase("192.0.2.7", tsRequest);
    auto progress = a.TftpAccepted("192.0.2.7", "fw.bin");
    progress->Size = 1000;
    progress->Block = 2;
    a.TftpPhase("192.0.2.7", tsSending);
    a.TftpRefused("192.0.2.7", "busy", true); // a second request while the first runs
    KBoardActivity::Row row = RowOf(a, "192.0.2.7");
    EXPECT_EQ(row.Phase, "tftp-sending");
    EXPECT_EQ(row.Block, 2u);
    EXPECT_EQ(row.Blocks, 2u);
    EXPECT_EQ(row.LastError, "busy");
    EXPECT_EQ(row.Boots, 0u);
    EXPECT_EQ(a.Summarize().Booting, 1u);

    a.TimeAnswered("192.0.2.7");
    a.TimeAnswered("192.0.2.7");          // a second time request is no second boot
    a.TftpPhase("192.0.2.7", tsFinished); // the transfer thread reports its end late
    row = RowOf(a, "192.0.2.7");
    EXPECT_EQ(row.Phase, "time-answered");
    EXPECT_EQ(row.Boots, 1u);
    EXPECT_EQ(KBoardActivity::Name(row.ProbeResult), std::string("free"));
    EXPECT_EQ(row.Interface, "192.0.2.1");

    a.BootpNotLookedAt(8, "0A:3D:91:00:00:08", "max-threads"); // waits before it is looked up
    EXPECT_EQ(RowOf(a, "192.0.2.8").LastError, "max-threads");
    a.BootpRequest(8, "0A:3D:91:00:00:08", true);
    a.BootpDropped(8, "identification");
    row = RowOf(a, "192.0.2.8");
    EXPECT_EQ(row.Phase, "bootp-dropped");
    EXPECT_EQ(row.LastError, "identification");
    EXPECT_EQ(row.Mac, "0A:3D:91:00:00:08");
    const KBoardActivity::Summary summary = a.Summarize();
    EXPECT_EQ(std::make_tuple(summary.Booted, summary.Booting, summary.Failing), std::make_tuple(1u, 0u, 1u));
}

TEST(BoardActivity, StrangersAreFewNewestFirstAndNeverConfigured)
{
    KBoardActivity a;
    for (unsigned i = 0; i < 3 * KBoardActivity::MaxUnknown; ++i)
        a.TftpRefused("198.51.100." + std::to_string(i % 250), "unknown", false);
    a.BootpRequest(99, "0A:3D:91:00:00:63", false);
    a.BootpDropped(99, "unknown-board");
    a.TimeRefused("198.51.100.95"); // seen before: moves to the front, no second row
    a.BootpNotLookedAt(98, "0A:3D:91:00:00:62", "max-threads"); // not looked up: no row at all
    const std::vector<KBoardActivity::Row> rows = a.Rows(Configured, {});
    ASSERT_EQ(rows.size(), Configured.size() + KBoardActivity::MaxUnknown);
    EXPECT_EQ(rows[2].Address, "198.51.100.95");
    EXPECT_EQ(rows[2].Phase, "time-refused");
    EXPECT_EQ(rows[3].Serial, 99u);
    EXPECT_EQ(rows[3].LastError, "unknown-board");
    for (size_t i = 2; i < rows.size(); ++i)
        EXPECT_FALSE(rows[i].Configured);
}

} // namespace
