// The TFTP server: request parsing and acceptance without traffic, then the server itself
// in the test's own network namespace against a raw board client.
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

#include "Tools/TAVO/KConfig.h"
#include "Tools/TAVO/KTFTPServer.h"
#include "Tools/TAVO/KTFTPSubProcess.h"
#include "Tools/TAVO/KUDPSock.h"
#include "Tools/TAVO/TAVOCfg.h"
#include "Tools/TAVO/TAVODevs.h"
#include "tests/TAVO/FilesTestKit.h"

using namespace filestest;

namespace {

const std::string Host = "192.0.2.1";
const std::string Firmware = FirmwareDir;
// The server's own spelling of the directory: the work directory "/etc/varnel/" + "/data/am17/".
const std::string ServedFrom = "/etc/varnel//data/am17/";
// Boards .50 to .80 and .99 to .163 are configured; .200 is not.
std::string BoardAddress(int last) { return "192.0.2." + std::to_string(last); }

std::string Devices()
{
    std::string yaml = "Devices:\n";
    auto add = [&](int last) {
        yaml += "  - " + std::to_string(1000 + last) + ":\n      Type: NDX\n      IP: " + BoardAddress(last) + "\n";
    };
    for (int last = 50; last <= 80; ++last)
        add(last);
    for (int last = 99; last <= 163; ++last)
        add(last);
    return yaml;
}

// Configuration, firmware files and addresses shared by every test of this program.
void PrepareSandbox()
{
    WriteConfig("tavo", "tavo:\n  tftp:\n    Port: 69\n"
                        "  Firmwares:\n    - boot.bin: fw_v2.bin\n    - evil.bin: ../x\n    - first.bin: second.bin\n");
    WriteConfig("devices", Devices());
    WriteConfig("system", "Network:\n  MediaServerAddress: 192.0.2.1\n");
    config::KConfig<config::TAVOCfg, 0>::instance(true);
    config::KConfig<config::TAVODevs, 0>::instance(true);
    WriteFile(Firmware + "fw.bin", Pattern(1300, 1));
    WriteFile(Firmware + "fw_v2.bin", Pattern(2000, 2));
    WriteFile(Firmware + "sub/img.bin", Pattern(700, 3));
}

// --- Request parsing --------------------------------------------------------------------

struct ParserCase {
    const char* name;
    std::string datagram;
    int start;
    std::vector<std::string> strings; // successive GetNextString results
    int end;                          // Position afterwards
    friend void PrintTo(const ParserCase& c, std::ostream* os) { *os << c.name; }
};

class RequestStrings : public ::testing::TestWithParam<ParserCase> {};

TEST_P(RequestStrings, StopAtEachNulAndNeverReadPastTheDatagram)
{
    const ParserCase& c = GetParam();
    // A copy on the heap of exactly the datagram's size, so an over-read is caught by ASan.
    std::unique_ptr<unsigned char[]> bytes(new unsigned char[c.datagram.size() + 1]);
    std::copy(c.datagram.begin(), c.datagram.end(), bytes.get());
    KTFTPServer::TftpStrParser parser;
    parser.Data = c.datagram.empty() ? nullptr : bytes.get();
    parser.Position = c.start;
    parser.Size = static_cast<int>(c.datagram.size());
    for (const std::string& expected : c.strings)
        EXPECT_EQ(parser.GetNextString(), expected);
    EXPECT_EQ(parser.Position, c.end);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RequestStrings,
    ::testing::Values(
        ParserCase{"name_and_mode", std::string("\0\1fw.bin\0octet\0", 16), 2, {"fw.bin", "octet", ""}, 16},
        ParserCase{"options_after_mode", std::string("\0\1f\0octet\0blksize\0001428\0", 23), 2,
                   {"f", "octet", "blksize", "1428", ""}, 23},
        ParserCase{"empty_string_moves_past_its_nul", std::string("\0\1\0octet\0", 9), 2, {"", "octet"}, 9},
        ParserCase{"no_nul_left_does_not_move", std::string("\0\1fw.bin", 8), 2, {"", ""}, 2},
        ParserCase{"mode_without_nul", std::string("\0\1fw.bin\0oct", 12), 2, {"fw.bin", "", ""}, 9},
        ParserCase{"position_at_end", std::string("\0\1a\0", 4), 4, {""}, 4},
        ParserCase{"position_past_end", std::string("\0\1a\0", 4), 9, {""}, 9},
        ParserCase{"no_data", "", 0, {""}, 0}),
    CaseName());

// --- Name mapping -----------------------------------------------------------------------

struct MappingCase {
    const char* name;
    std::string requested;
    bool accepted;
    std::string result;
    friend void PrintTo(const MappingCase& c, std::ostream* os) { *os << c.name; }
};

class NameMapping : public ::testing::TestWithParam<MappingCase> {};

TEST_P(NameMapping, MapsExactNamesOnceAndRefusesDotDot)
{
    const std::map<kstring, kstring> firmwares = {
        {"boot.bin", "fw_v2.bin"}, {"evil.bin", "../x"}, {"first.bin", "second.bin"}, {"second.bin", "third.bin"}};
    KTFTPServer server;
    std::string name = GetParam().requested;
    EXPECT_EQ(server.MapFirmwareName(firmwares, name), GetParam().accepted);
    if (GetParam().accepted) {
        EXPECT_EQ(name, GetParam().result);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NameMapping,
    ::testing::Values(MappingCase{"mapped", "boot.bin", true, "fw_v2.bin"},
                      MappingCase{"case_sensitive", "Boot.bin", true, "Boot.bin"},
                      MappingCase{"applied_once", "first.bin", true, "second.bin"},
                      MappingCase{"subdirectory", "sub/img.bin", true, "sub/img.bin"},
                      MappingCase{"leading_slash_stays_inside", "/img.bin", true, "/img.bin"},
                      MappingCase{"parent", "../x", false, ""},
                      MappingCase{"dots_inside_a_name", "a..b", false, ""},
                      MappingCase{"dots_at_the_end", "sub/..", false, ""},
                      MappingCase{"target_with_parent", "evil.bin", false, ""}),
    CaseName());

// --- Acceptance, without traffic ----------------------------------------------------------

// Keeps accepted transfers instead of starting their threads, so nothing is sent.
class RecordingServer : public KTFTPServer {
public:
    std::vector<std::unique_ptr<KTFTPSubProcess>> Started;

    void Finish(const std::string& address)
    {
        FreeMachine(address);
        Started.clear();
    }

protected:
    bool StartTransfer(KTFTPSubProcess* transfer) override
    {
        Started.emplace_back(transfer);
        return true;
    }
};

struct AcceptCase {
    const char* name;
    std::string datagram;
    std::string sender;               // address text
    uint16_t port;
    std::vector<KTFTPStatus> phases;  // reported for the sender
    std::string path;                 // file of the started transfer, empty for none
    friend void PrintTo(const AcceptCase& c, std::ostream* os) { *os << c.name; }
};

class Acceptance : public ::testing::TestWithParam<AcceptCase> {
protected:
    static void SetUpTestSuite() { PrepareSandbox(); }
};

sockaddr_in Sender(const std::string& address, uint16_t port)
{
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_port = htons(port);
    from.sin_addr.s_addr = inet_addr(address.c_str());
    return from;
}

TEST_P(Acceptance, RequestIsStartedOrDroppedAndTheBoardLeftIdle)
{
    const AcceptCase& c = GetParam();
    RecordingServer server;
    PhaseRecorder phases;
    server.SetNotifier(&phases);
    sockaddr_in from = Sender(c.sender, c.port);
    server.ProcessRequest(reinterpret_cast<const unsigned char*>(c.datagram.data()),
                          static_cast<int>(c.datagram.size()), "192.0.2.1", &from);

    EXPECT_EQ(phases.Phases(c.sender), c.phases);
    if (c.path.empty()) {
        EXPECT_TRUE(server.Started.empty());
    } else {
        ASSERT_EQ(server.Started.size(), 1u);
        const KTFTPSubProcess& transfer = *server.Started[0];
        EXPECT_EQ(transfer.FileName, c.path);
        EXPECT_EQ(transfer.LocalAddress, "192.0.2.1");
        EXPECT_EQ(transfer.ClientAddress, c.sender);
        EXPECT_EQ(transfer.ClientPort, c.port);
        // While it runs, the same board is not served again.
        const std::string again = ReadRequest("fw.bin");
        server.ProcessRequest(reinterpret_cast<const unsigned char*>(again.data()), static_cast<int>(again.size()),
                              "192.0.2.1", &from);
        EXPECT_EQ(server.Started.size(), 1u);
        server.Finish(c.sender);
    }

    // Whatever happened, a known board's next good request is served.
    sockaddr_in board = Sender("192.0.2.50", 1234);
    const std::string good = ReadRequest("fw.bin");
    server.ProcessRequest(reinterpret_cast<const unsigned char*>(good.data()), static_cast<int>(good.size()),
                          "192.0.2.1", &board);
    EXPECT_EQ(server.Started.size(), 1u);
}

const std::string Board50 = "192.0.2.50";

INSTANTIATE_TEST_SUITE_P(
    Datagrams, Acceptance,
    ::testing::Values(
        AcceptCase{"read_request", ReadRequest("fw.bin"), Board50, 1234, {tsRequest}, ServedFrom + "fw.bin"},
        AcceptCase{"mode_in_capitals", ReadRequest("fw.bin", "OCTET"), Board50, 1234, {tsRequest},
                   ServedFrom + "fw.bin"},
        AcceptCase{"options_ignored", ReadRequest("fw.bin") + std::string("blksize\0001428\0", 13), Board50, 1234,
                   {tsRequest}, ServedFrom + "fw.bin"},
        AcceptCase{"first_opcode_byte_not_examined", "\xff" + ReadRequest("fw.bin").substr(1), Board50, 1234,
                   {tsRequest}, ServedFrom + "fw.bin"},
        AcceptCase{"mapped", ReadRequest("boot.bin"), Board50, 1234, {tsRequest}, ServedFrom + "fw_v2.bin"},
        AcceptCase{"subdirectory", ReadRequest("sub/img.bin"), Board50, 1234, {tsRequest}, ServedFrom + "sub/img.bin"},
        AcceptCase{"write_request", std::string("\0\2fw.bin\0octet\0", 16), Board50, 1234, {}, ""},
        AcceptCase{"netascii", ReadRequest("fw.bin", "netascii"), Board50, 1234, {tsRequest, tsBadRequest}, ""},
        AcceptCase{"no_mode", std::string("\0\1firmware\0", 11), Board50, 1234, {tsRequest, tsBadRequest}, ""},
        AcceptCase{"no_name", std::string("\0\1\0octet\0xx", 12), Board50, 1234, {tsRequest, tsNoFileName}, ""},
        AcceptCase{"name_without_nul", std::string("\0\1abcdefghijk", 13), Board50, 1234,
                   {tsRequest, tsNoFileName}, ""},
        AcceptCase{"parent", ReadRequest("../x"), Board50, 1234, {tsRequest, tsBadRequest}, ""},
        AcceptCase{"dots_inside", ReadRequest("a..b"), Board50, 1234, {tsRequest, tsBadRequest}, ""},
        AcceptCase{"mapped_to_parent", ReadRequest("evil.bin"), Board50, 1234, {tsRequest, tsBadRequest}, ""},
        AcceptCase{"nine_bytes", std::string("\0\1ab\0oct\0", 9), Board50, 1234, {}, ""},
        AcceptCase{"sender_port_zero", ReadRequest("fw.bin"), Board50, 0, {}, ""},
        AcceptCase{"unknown_board", ReadRequest("fw.bin"), "192.0.2.200", 1234, {}, ""}),
    CaseName());

// --- The server in the namespace ----------------------------------------------------------

class TftpServer : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        PrepareSandbox();
        AddAddress(Host + "/32");
        for (int last : {50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 62, 63, 64, 65, 66, 99, 200})
            AddAddress(BoardAddress(last) + "/32");
        for (int last = 100; last <= 163; ++last)
            AddAddress(BoardAddress(last) + "/32");
        Phases = new PhaseRecorder;
        Server = new KTFTPServer;
        Server->SetNotifier(Phases);
        ASSERT_EQ(Server->Start({KNETInterfaceEx{Host, "255.255.255.0", "192.0.2.255"}}, 69, 64), 0);
    }
    static void TearDownTestSuite()
    {
        Server->WaitTermination();
        delete Server;
        delete Phases;
    }

    static KTFTPServer* Server;
    static PhaseRecorder* Phases;
};

KTFTPServer* TftpServer::Server = nullptr;
PhaseRecorder* TftpServer::Phases = nullptr;

uint16_t BlockOf(const Datagram& packet)
{
    return static_cast<uint16_t>(static_cast<unsigned char>(packet.Bytes[2]) << 8 |
                                 static_cast<unsigned char>(packet.Bytes[3]));
}

class TftpServerFiles : public TftpServer, public ::testing::WithParamInterface<size_t> {};

TEST_P(TftpServerFiles, ServesTheFileByteForByteWithPhasesInOrder)
{
    const std::string board = BoardAddress(50);
    const std::string name = "size_" + std::to_string(GetParam()) + ".bin";
    WriteFile(Firmware + name, Pattern(GetParam(), 5));
    Phases->Clear(board);
    EXPECT_EQ(Fetch(board, Host, 69, name), Pattern(GetParam(), 5));
    ASSERT_TRUE(Phases->WaitFor(board, tsFinished));
    EXPECT_EQ(Phases->Phases(board), (std::vector<KTFTPStatus>{tsRequest, tsSending, tsFinished}));
    EXPECT_EQ(Phases->Detail(board, tsSending), ServedFrom + name);
}

// 0: one empty block; 512 and 1024: the last full block is followed by an empty one.
INSTANTIATE_TEST_SUITE_P(Sizes, TftpServerFiles, ::testing::Values(0u, 1u, 511u, 512u, 513u, 1024u, 1048576u));

TEST_F(TftpServer, BlockNumberWrapsToZeroAfter65535)
{
    const std::string board = BoardAddress(51);
    const size_t size = 65536u * 512u + 100u; // blocks 1..65535, 0, then 1 with 100 bytes
    WriteFile(Firmware + "wrap.bin", Pattern(size, 9));
    // Fetch accepts only the next block number, counted in 16 bits.
    std::optional<std::string> content = Fetch(board, Host, 69, "wrap.bin");
    ASSERT_TRUE(content.has_value());
    EXPECT_TRUE(*content == Pattern(size, 9));
}

TEST_F(TftpServer, AckFromTheBoardsAddressButAnotherPortDoesNotAdvance)
{
    const std::string board = BoardAddress(52);
    RawClient client(board), stranger(board);
    client.SendTo(Host, 69, ReadRequest("fw.bin"));
    std::optional<Datagram> first = client.Receive(5000);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->Bytes, Data(1, Pattern(1300, 1).substr(0, 512)));
    EXPECT_NE(first->Port, 69); // each transfer has its own port

    stranger.SendTo(Host, first->Port, Ack(1));
    EXPECT_FALSE(client.Receive(300)); // an advance would answer at once

    client.SendTo(Host, first->Port, Ack(1));
    std::optional<Datagram> second = client.Receive(5000);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->Bytes, Data(2, Pattern(1300, 1).substr(512, 512)));
    client.SendTo(Host, first->Port, Ack(2));
    std::optional<Datagram> third = client.Receive(5000);
    ASSERT_TRUE(third);
    EXPECT_EQ(third->Bytes, Data(3, Pattern(1300, 1).substr(1024)));
    client.SendTo(Host, first->Port, Ack(3));
    EXPECT_TRUE(Phases->WaitFor(board, tsFinished));
}

TEST_F(TftpServer, DuplicateAckOfThePreviousBlockDoesNotAdvance)
{
    const std::string board = BoardAddress(53);
    RawClient client(board);
    client.SendTo(Host, 69, ReadRequest("fw.bin"));
    std::optional<Datagram> first = client.Receive(5000);
    ASSERT_TRUE(first);
    client.SendTo(Host, first->Port, Ack(1));
    std::optional<Datagram> second = client.Receive(5000);
    ASSERT_TRUE(second);
    ASSERT_EQ(BlockOf(*second), 2);

    client.SendTo(Host, first->Port, Ack(1));
    EXPECT_FALSE(client.Receive(300));
    client.SendTo(Host, first->Port, Ack(2));
    std::optional<Datagram> third = client.Receive(5000);
    ASSERT_TRUE(third);
    EXPECT_EQ(BlockOf(*third), 3);
    client.SendTo(Host, first->Port, Ack(3));
    EXPECT_TRUE(Phases->WaitFor(board, tsFinished));
}

TEST_F(TftpServer, SecondRequestWhileTheTransferRunsIsIgnoredAndServedAfterIt)
{
    const std::string board = BoardAddress(54);
    RawClient client(board), again(board);
    client.SendTo(Host, 69, ReadRequest("fw.bin"));
    std::optional<Datagram> first = client.Receive(5000);
    ASSERT_TRUE(first);

    LogWatch log;
    again.SendTo(Host, 69, ReadRequest("fw.bin"));
    ASSERT_TRUE(log.WaitFor("Machine requesting file is busy"));
    EXPECT_FALSE(again.Receive(200));

    for (uint16_t block = 1; block <= 3; ++block) {
        client.SendTo(Host, first->Port, Ack(block));
        if (block < 3) {
            ASSERT_TRUE(client.Receive(5000));
        }
    }
    ASSERT_TRUE(Phases->WaitFor(board, tsFinished));
    // The busy mark is cleared just after the last report: retry until served.
    std::optional<std::string> content;
    for (int attempt = 0; attempt < 50 && !content; ++attempt)
        content = Fetch(board, Host, 69, "fw.bin", 100);
    EXPECT_EQ(content, Pattern(1300, 1));
}

struct RefusalCase {
    const char* name;
    std::string datagram;
    std::vector<KTFTPStatus> phases;
    std::string logged;
    friend void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }
};

class TftpServerRefusals : public TftpServer, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(TftpServerRefusals, GetNoAnswerAndLeaveTheBoardIdle)
{
    const std::string board = BoardAddress(55);
    Phases->Clear(board);
    LogWatch log;
    RawClient client(board);
    client.SendTo(Host, 69, GetParam().datagram);
    ASSERT_TRUE(log.WaitFor(GetParam().logged));
    EXPECT_FALSE(client.Receive(200));
    EXPECT_EQ(Phases->Phases(board), GetParam().phases);
    EXPECT_EQ(Fetch(board, Host, 69, "fw.bin"), Pattern(1300, 1));
}

INSTANTIATE_TEST_SUITE_P(
    Requests, TftpServerRefusals,
    ::testing::Values(
        RefusalCase{"write_request", std::string("\0\2fw.bin\0octet\0", 16), {},
                    "Invalid tftp request [2] from 192.0.2.55"},
        RefusalCase{"netascii", ReadRequest("fw.bin", "netascii"), {tsRequest, tsBadRequest},
                    "RequestMode 'netascii' is not supported. Only 'octet' is supported (192.0.2.55)"},
        RefusalCase{"parent", ReadRequest("../x"), {tsRequest, tsBadRequest}, "Malicious firmware request: '../x'"},
        RefusalCase{"dots_inside", ReadRequest("a..b"), {tsRequest, tsBadRequest},
                    "Malicious firmware request: 'a..b'"},
        RefusalCase{"mapped_to_parent", ReadRequest("evil.bin"), {tsRequest, tsBadRequest},
                    "Malicious firmware request: '../x'"}),
    CaseName());

TEST_F(TftpServer, UnknownAddressGetsNoAnswer)
{
    const std::string stranger = "192.0.2.200";
    LogWatch log;
    RawClient client(stranger);
    client.SendTo(Host, 69, ReadRequest("fw.bin"));
    ASSERT_TRUE(log.WaitFor("Machine requesting file is not in list (192.0.2.200)"));
    EXPECT_FALSE(client.Receive(200));
    EXPECT_TRUE(Phases->Phases(stranger).empty());
}

TEST_F(TftpServer, ModeInCapitalsIsServed)
{
    const std::string board = BoardAddress(56);
    RawClient client(board);
    client.SendTo(Host, 69, ReadRequest("fw.bin", "OCTET"));
    std::optional<Datagram> first = client.Receive(5000);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->Bytes, Data(1, Pattern(1300, 1).substr(0, 512)));
    for (uint16_t block = 1; block <= 3; ++block) {
        client.SendTo(Host, first->Port, Ack(block));
        if (block < 3) {
            ASSERT_TRUE(client.Receive(5000));
        }
    }
    EXPECT_TRUE(Phases->WaitFor(board, tsFinished));
}

TEST_F(TftpServer, MissingFileGetsFileNotFound)
{
    const std::string board = BoardAddress(57);
    Phases->Clear(board);
    RawClient client(board);
    client.SendTo(Host, 69, ReadRequest("nothing.bin"));
    std::optional<Datagram> answer = client.Receive(5000);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->Bytes, Error(1, "File not found"));
    EXPECT_NE(answer->Port, 69);
    EXPECT_EQ(Phases->Phases(board), (std::vector<KTFTPStatus>{tsRequest, tsFileNotFound}));
}

TEST_F(TftpServer, MappingAppliesToTheExactNameOnly)
{
    const std::string board = BoardAddress(58);
    LogWatch log;
    EXPECT_EQ(Fetch(board, Host, 69, "boot.bin"), Pattern(2000, 2));
    EXPECT_TRUE(log.WaitFor("Requested firmware 'boot.bin' mapped to 'fw_v2.bin'"));
    ASSERT_TRUE(Phases->WaitFor(board, tsFinished));
    Phases->Clear(board);

    RawClient client(board);
    std::optional<Datagram> answer;
    // Until the earlier transfer has freed the board, requests are ignored.
    for (int attempt = 0; attempt < 50 && !answer; ++attempt) {
        client.SendTo(Host, 69, ReadRequest("Boot.bin"));
        answer = client.Receive(100);
    }
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->Bytes, Error(1, "File not found"));
}

TEST_F(TftpServer, SubdirectoryIsServed)
{
    EXPECT_EQ(Fetch(BoardAddress(59), Host, 69, "sub/img.bin"), Pattern(700, 3));
}

TEST_F(TftpServer, FailedReplacementsRewriteStillServesTheLastCompleteFile)
{
    const std::string board = BoardAddress(60);
    const std::string before = ReadFile(Firmware + "replacements.yaml");
    ASSERT_FALSE(before.empty());
    LogWatch log;
    WriteConfig("devices", "Devices:\n  - 1: [unclosed\n");
    std::optional<std::string> content = Fetch(board, Host, 69, "replacements.yaml");
    WriteConfig("devices", Devices());
    EXPECT_EQ(content, before);
    EXPECT_TRUE(log.WaitFor("Could not rewrite replacements.yaml"));
}

TEST_F(TftpServer, DeadBoardDoesNotHoldUpSixtyFourOthers)
{
    RawClient dead(BoardAddress(99));
    dead.SendTo(Host, 69, ReadRequest("fw.bin"));
    ASSERT_TRUE(dead.Receive(5000)); // and never acknowledged

    WriteFile(Firmware + "mib.bin", Pattern(1 << 20, 4));
    const std::string expected = Pattern(1 << 20, 4);
    std::vector<std::thread> boards;
    std::atomic<int> complete{0};
    for (int last = 100; last <= 163; ++last)
        boards.emplace_back([&, last] {
            std::optional<std::string> content = Fetch(BoardAddress(last), Host, 69, "mib.bin", 10000);
            if (content && *content == expected)
                ++complete;
        });
    for (std::thread& board : boards)
        board.join();
    EXPECT_EQ(complete.load(), 64);
}

TEST_F(TftpServer, StartOnARunningServerChangesNothing)
{
    EXPECT_EQ(Server->Start({KNETInterfaceEx{"127.0.0.1", "255.0.0.0", "127.255.255.255"}}, 6969, 1), 1);
    EXPECT_EQ(Fetch(BoardAddress(61), Host, 69, "fw.bin"), Pattern(1300, 1));
}

TEST_F(TftpServer, EmptyInterfaceListIsRefused)
{
    KTFTPServer server;
    EXPECT_EQ(server.Start({}, 6969, 64), 5);
    EXPECT_EQ(server.Stop(), 1);
}

TEST_F(TftpServer, RequestsAboveTheTransferLimitAreDropped)
{
    KTFTPServer limited;
    ASSERT_EQ(limited.Start({KNETInterfaceEx{Host, "255.255.255.0", "192.0.2.255"}}, 6970, 1), 0);
    RawClient first(BoardAddress(62)), second(BoardAddress(63)), third(BoardAddress(64));
    first.SendTo(Host, 6970, ReadRequest("fw.bin"));
    std::optional<Datagram> one = first.Receive(5000);
    ASSERT_TRUE(one);
    // One transfer runs: not above the limit of 1, so the next is still accepted.
    second.SendTo(Host, 6970, ReadRequest("fw.bin"));
    std::optional<Datagram> two = second.Receive(5000);
    ASSERT_TRUE(two);

    LogWatch log;
    third.SendTo(Host, 6970, ReadRequest("fw.bin"));
    ASSERT_TRUE(log.WaitFor("Max clients(1) reached"));
    EXPECT_FALSE(third.Receive(200));

    limited.WaitTermination();
}

TEST_F(TftpServer, StopDuringATransferSendsOperationCancelled)
{
    KTFTPServer stopping;
    PhaseRecorder phases;
    stopping.SetNotifier(&phases);
    ASSERT_EQ(stopping.Start({KNETInterfaceEx{Host, "255.255.255.0", "192.0.2.255"}}, 6971, 64), 0);
    const std::string board = BoardAddress(65);
    RawClient client(board);
    client.SendTo(Host, 6971, ReadRequest("fw.bin"));
    std::optional<Datagram> first = client.Receive(5000);
    ASSERT_TRUE(first);

    EXPECT_EQ(stopping.Stop(), 0);
    EXPECT_EQ(stopping.Stop(), 1);
    std::optional<Datagram> answer = client.Receive(5000);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->Bytes, Error(0, "Operation cancelled"));
    EXPECT_EQ(answer->Port, first->Port);
    EXPECT_TRUE(phases.WaitFor(board, tsCancelled));
    stopping.WaitTermination();
}

struct ErrorCase {
    const char* name;
    size_t length; // of the text given
    friend void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.name; }
};

class ErrorPackets : public TftpServer, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(ErrorPackets, CarryCodeAndTextCutTo511Characters)
{
    RawClient board(BoardAddress(50));
    KUDPSock socket(Host, 0, true);
    sockaddr_in to = Sender(BoardAddress(50), board.LocalPort());
    const std::string text(GetParam().length, 'e');
    Server->SendErrorPacket(&socket, 1, text, &to);
    std::optional<Datagram> packet = board.Receive(5000);
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->Bytes, Error(1, text.substr(0, 511)));
    EXPECT_EQ(packet->Bytes.size(), std::min<size_t>(GetParam().length, 511) + 5);
}

INSTANTIATE_TEST_SUITE_P(Lengths, ErrorPackets,
                         ::testing::Values(ErrorCase{"empty", 0}, ErrorCase{"longest", 511},
                                           ErrorCase{"one_over", 512}, ErrorCase{"far_over", 600}),
                         CaseName());

TEST_F(TftpServer, ErrorPacketWithoutAddressIsNotSent)
{
    LogWatch log;
    KUDPSock socket(Host, 0, true);
    Server->SendErrorPacket(&socket, 0, "x", nullptr);
    EXPECT_TRUE(log.WaitFor("Invalid address to send packet"));
}

// Slow: the silent board costs six waits of 6 to 8 s.
TEST_F(TftpServer, SlowNeverAcknowledgingBoardGetsTheFirstBlockSixTimesThenTimesOut)
{
    const std::string board = BoardAddress(66);
    Phases->Clear(board);
    RawClient client(board);
    client.SendTo(Host, 69, ReadRequest("fw.bin"));
    const std::string block = Data(1, Pattern(1300, 1).substr(0, 512));
    for (int sent = 1; sent <= 6; ++sent) {
        std::optional<Datagram> packet = client.Receive(10000);
        ASSERT_TRUE(packet) << "transmission " << sent;
        EXPECT_EQ(packet->Bytes, block) << "transmission " << sent;
    }
    std::optional<Datagram> error = client.Receive(10000);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->Bytes, Error(0, "Timed out waiting ack"));
    ASSERT_TRUE(Phases->WaitFor(board, tsAckTimeout));
    EXPECT_EQ(Phases->Phases(board), (std::vector<KTFTPStatus>{tsRequest, tsSending, tsAckTimeout}));
}

} // namespace
