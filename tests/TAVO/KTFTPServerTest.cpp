// The TFTP server: acceptance of requests without traffic, the confinement of opened names to
// the firmware directory (with and without openat2), the transfer's timing and error rules
// against a scripted board on a driven tick, and, against raw board sockets in the test's own
// network namespace, the request limit held exactly. Files of every size, the block number's
// wrap past 65535, a stop, a missing file and a refused port are the end-to-end tests', where
// real clients read from the running daemon.
#include <arpa/inet.h>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <memory>
#include <optional>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

#include "Tools/TAVO/KConfig.h"
#include "Tools/TAVO/KTFTPLink.h"
#include "Tools/TAVO/KTFTPServer.h"
#include "Tools/TAVO/KTFTPSubProcess.h"
#include "Tools/TAVO/KTFTPTransferHost.h"
#include "Tools/TAVO/KUDPSock.h"
#include "Tools/TAVO/TAVOCfg.h"
#include "Tools/TAVO/TAVODevs.h"
#include "tests/TAVO/TAVOTestKit.h"

using namespace tavotest;

namespace {

// Byte i is (i * 7 + seed) mod 251, so neighbouring blocks differ.
std::string Pattern(size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7 + seed) % 251);
    return bytes;
}
// TFTP packets as a board sends or expects them: RRQ (name, mode), ACK and DATA (block number).
std::string ReadRequest(const std::string& name, const std::string& mode = "octet")
{
    return std::string("\0\1", 2) + name + '\0' + mode + '\0';
}
std::string Ack(uint16_t block)
{
    return {0, 4, static_cast<char>(block >> 8), static_cast<char>(block)};
}
std::string Data(uint16_t block, const std::string& bytes)
{
    return std::string{0, 3, static_cast<char>(block >> 8), static_cast<char>(block)} + bytes;
}

const std::string Host = "192.0.2.1";
const std::string ServedFrom = "/etc/varnel//data/am17/"; // work directory + "/data/am17/"
const std::string Fw = Pattern(1300, 1);                   // fw.bin: blocks of 512, 512, 276
std::string Board(int last)
{
    return "192.0.2." + std::to_string(last);
}

// Boards .50 to .60 are configured.
std::string Devices()
{
    std::string yaml = "Devices:\n";
    for (int last = 50; last <= 60; ++last)
        yaml += "  - " + std::to_string(1000 + last) + ":\n      Type: NDX\n      IP: " + Board(last) + "\n";
    return yaml;
}

void PrepareSandbox()
{
    // The tftp section in full: a section left out keeps what an earlier test loaded.
    WriteConfig("tavo", "tavo:\n  tftp:\n    AlternativePath: ~\n  Firmwares:\n    - boot.bin: fw_v2.bin\n    - evil.bin: ../x\n"
                        "    - first.bin: second.bin\n    - second.bin: third.bin\n");
    WriteConfig("devices", Devices());
    WriteConfig("system", "Network: {}\n");
    config::KConfig<config::TAVOCfg, 0>::instance(true);
    config::KConfig<config::TAVODevs, 0>::instance(true);
    WriteFile(std::string(FirmwareDir) + "fw.bin", Fw);
    WriteFile(std::string(FirmwareDir) + "fw_v2.bin", Pattern(2000, 2));
}

// Keeps accepted transfers instead of starting their threads, so nothing is sent; records phases.
class RecordingServer : public KTFTPServer, public KTFTPNotifier {
public:
    RecordingServer() { SetNotifier(this); }
    std::vector<std::unique_ptr<KTFTPSubProcess>> Started;
    std::vector<KTFTPStatus> Phases;
    void ClientStatus(const std::string&, KTFTPStatus status, const std::string&) override { Phases.push_back(status); }
    void Request(const std::string& datagram, const std::string& sender, uint16_t port)
    {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_port = htons(port);
        from.sin_addr.s_addr = inet_addr(sender.c_str());
        ProcessRequest(reinterpret_cast<const unsigned char*>(datagram.data()), static_cast<int>(datagram.size()),
                       Host, &from);
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
    std::vector<KTFTPStatus> phases;
    std::string served; // file name of the started transfer, empty for none
    uint16_t port = 1234;
    const char* refusal = nullptr; // the counter of a request that starts nothing
};

void ExpectAcceptance(const AcceptCase& c)
{
    SCOPED_TRACE(c.name);
    RecordingServer server;
    EXPECT_EQ(CountersMoved([&] { server.Request(c.datagram, Board(50), c.port); }),
              (Moves{{"tftp-received", 1}, {c.refusal ? c.refusal : "tftp-transfers-started", 1}}));
    EXPECT_EQ(server.Phases, c.phases);
    if (c.served.empty()) {
        EXPECT_TRUE(server.Started.empty());
    } else {
        ASSERT_EQ(server.Started.size(), 1u);
        EXPECT_EQ(server.Started[0]->FileName, ServedFrom + c.served);
        // busy while its transfer runs
        EXPECT_EQ(CountersMoved([&] { server.Request(ReadRequest("fw.bin"), Board(50), c.port); }),
                  (Moves{{"tftp-received", 1}, {"tftp-refused-busy", 1}}));
        EXPECT_EQ(server.Started.size(), 1u);
        server.FreeMachine(Board(50)); // what the transfer thread does at its end
        server.Started.clear();
    }
    server.Request(ReadRequest("fw.bin"), Board(50), 1234);
    EXPECT_EQ(server.Started.size(), 1u);
}

TEST(Acceptance, StartsOrDropsTheRequestAndLeavesTheBoardIdleAfterwards)
{
    PrepareSandbox();
    const AcceptCase cases[] = {
        {"read", ReadRequest("fw.bin"), {tsRequest}, "fw.bin"},
        {"mode_in_capitals", ReadRequest("fw.bin", "OCTET"), {tsRequest}, "fw.bin"},
        {"options_ignored", ReadRequest("fw.bin") + std::string("blksize\0001428\0", 13), {tsRequest},
                   "fw.bin"},
        {"first_byte_ignored", "\xff" + ReadRequest("fw.bin").substr(1), {tsRequest}, "fw.bin"},
        {"mapped", ReadRequest("boot.bin"), {tsRequest}, "fw_v2.bin"},
        {"mapped_once", ReadRequest("first.bin"), {tsRequest}, "second.bin"},
        {"case_sensitive_map", ReadRequest("Boot.bin"), {tsRequest}, "Boot.bin"},
        {"leading_slash", ReadRequest("/img.bin"), {tsRequest}, "/img.bin"},
        {"no_mode", std::string("\0\1firmware\0", 11), {tsRequest, tsBadRequest}, "", 1234, "tftp-refused-no-mode"},
        {"no_name", std::string("\0\1\0octet\0xx", 12), {tsRequest, tsNoFileName}, "", 1234, "tftp-refused-no-name"},
        {"netascii", ReadRequest("fw.bin", "netascii"), {tsRequest, tsBadRequest}, "", 1234, "tftp-refused-mode"},
        {"dots_inside", ReadRequest("a..b"), {tsRequest, tsBadRequest}, "", 1234, "tftp-refused-malicious"},
        {"write", std::string("\0\2fw.bin\0octet\0", 15), {}, "", 1234, "tftp-refused-invalid-request"},
        {"nine_bytes", std::string("\0\1ab\0oct\0", 9), {}, "", 1234, "tftp-refused-short"},
        {"port_zero", ReadRequest("fw.bin"), {}, "", 0, "tftp-refused-port0"}};
    for (const AcceptCase& c : cases)
        ExpectAcceptance(c);
}

// Runs body on a thread of its own on which openat2 fails with ENOSYS, as on kernels before 5.6.
void WithoutOpenat2(const std::function<void()>& body)
{
    std::thread([&] {
        sock_filter code[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        sock_fprog program{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
        // Both bind this thread only (no TSYNC); it ends with the body.
        ASSERT_EQ(prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0), 0);
        ASSERT_EQ(syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program), 0);
        body();
    }).join();
}

// The content read through the descriptor, or nothing when the open was refused.
std::optional<std::string> Open(const std::string& path)
{
    KTFTPServer server;
    int fd = server.OpenFirmwareFile(path);
    if (fd < 0)
        return std::nullopt;
    std::string content;
    char buffer[4096];
    for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;)
        content.append(buffer, static_cast<size_t>(got));
    close(fd);
    return content;
}

TEST(Confinement, OpensOnlyRegularFilesBeneathTheFirmwareDirectory)
{
    const std::string dir = FirmwareDir;
    WriteFile("/etc/varnel/outside/secret.bin", "root's secret");
    chmod("/etc/varnel/outside/secret.bin", 0600);
    WriteFile(dir + "fw.bin", Fw);
    WriteFile(dir + "sub/img.bin", "in a subdirectory");
    const std::pair<const char*, const char*> links[] = {
        {"inside.lnk", "fw.bin"},          {"sub/up.lnk", "../fw.bin"},
        {"absolute.lnk", "/etc/varnel/data/am17/fw.bin"},
        {"out.lnk", "../../outside/secret.bin"}, {"outdir", "/etc/varnel/outside"}};
    for (const auto& link : links) {
        unlink((dir + link.first).c_str());
        ASSERT_EQ(symlink(link.second, (dir + link.first).c_str()), 0) << link.first;
    }
    unlink((dir + "fifo").c_str());
    ASSERT_EQ(mkfifo((dir + "fifo").c_str(), 0644), 0);
    const struct {
        const char* path;    // requested, relative to the firmware directory
        bool served;         // with openat2
        bool servedFallback; // on a kernel without it: links are not followed there
    } cases[] = {
        {"fw.bin", true, true},
        {"sub/img.bin", true, true},
        {"inside.lnk", true, false},
        {"sub/up.lnk", true, false},
        {"absolute.lnk", false, false}, // refused even when it names a file inside
        {"out.lnk", false, false},
        {"outdir/secret.bin", false, false},
        {"sub", false, false},
        {"fifo", false, false}, // refused without hanging in open
        {"none.bin", false, false},
    };
    for (const auto& c : cases) {
        const std::optional<std::string> expected =
            std::string(c.path) == "sub/img.bin" ? "in a subdirectory" : Fw;
        EXPECT_EQ(Open(c.path), c.served ? expected : std::nullopt) << c.path;
        std::optional<std::string> fallback;
        WithoutOpenat2([&] { fallback = Open(c.path); });
        EXPECT_EQ(fallback, c.servedFallback ? expected : std::nullopt) << c.path << " without openat2";
    }
}

// What the scripted board does at one receive of the transfer.
struct Step {
    enum Kind { Answer, Quiet, Fail } What;
    unsigned AfterMs = 0;  // Answer: when it arrives within the wait
    std::string Bytes;     // Answer
    uint16_t Port = 0;     // Answer: the sender's port, 0 for the board's own
};
Step Answer(unsigned afterMs, std::string bytes, uint16_t port = 0)
{
    return {Step::Answer, afterMs, std::move(bytes), port};
}
const Step Quiet{Step::Quiet, 0, "", 0};   // the wait runs out
const Step Fail{Step::Fail, 0, "", 0};     // the receive fails with EBADF
template <class T>
std::vector<T> operator+(std::vector<T> a, const std::vector<T>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const char* const Sender = "192.0.2.50";
const uint16_t SenderPort = 1234;
const char* const Path = "/etc/varnel/data/am17/f.bin";

std::string Error(char code, const std::string& text)
{
    return std::string{0, 5, 0, code} + text + '\0';
}

// The server side of a transfer: phases and log lines recorded, the file from memory.
class FakeHost : public KTFTPTransferHost {
public:
    enum Source { Content, Unreadable };
    Source From = Content;
    std::string File;
    std::vector<KTFTPStatus> Phases;
    std::vector<std::string> Lines; // level letter, space, text

    bool IsServing() const override { return true; }
    void NotifyClient(const std::string& client, KTFTPStatus status, const std::string&) override
    {
        EXPECT_EQ(client, Sender);
        Phases.push_back(status);
    }
    void TransferLog(KLogLevel level, const std::string& line) override { Lines.push_back("EWINT"[level] + (" " + line)); }
    bool AllowLine(const std::string&, const char*, KLogLevel) override { return true; }
    int OpenRequested(const std::string& path) override
    {
        EXPECT_EQ(path, Path);
        if (From == Unreadable)
            return open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC); // read fails with EISDIR
        WriteFile("/var/tmp/transfer.bin", File);
        return open("/var/tmp/transfer.bin", O_RDONLY | O_CLOEXEC);
    }
};

// The board: plays its steps, then either acknowledges every block at once or stays silent.
// Time passes only here, on the driven tick.
class FakeLink : public KTFTPLink {
public:
    FakeLink(FakeHost& host, std::vector<Step> steps, bool acksAfter, unsigned start)
        : Host(host), Steps(std::move(steps)), AcksAfter(acksAfter), Tick(start), Start(start)
    {
    }
    std::vector<std::string> Sent;
    std::vector<unsigned> SentAt; // ms since the start
    std::vector<int> Waits;       // the timeout of every receive
    size_t FailSend = SIZE_MAX;   // index of the send that fails with ENETUNREACH

    bool Send(const unsigned char* data, int length) override
    {
        if (Sent.size() == FailSend) {
            Error = ENETUNREACH;
            return false;
        }
        Sent.emplace_back(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
        SentAt.push_back(KHostSystem::GetTick() - Start);
        return true;
    }
    Wait Receive(unsigned char* buffer, int capacity, int& length, sockaddr_in& from, int timeoutMs) override
    {
        Waits.push_back(timeoutMs);
        Step step = Quiet;
        if (Next < Steps.size())
            step = Steps[Next++];
        else if (AcksAfter && !Sent.empty())
            step = Answer(1, Ack(static_cast<uint16_t>((uint8_t(Sent.back()[2]) << 8) | uint8_t(Sent.back()[3]))));
        switch (step.What) {
        case Step::Answer:
            EXPECT_LE(step.AfterMs, static_cast<unsigned>(timeoutMs));
            Tick.Advance(step.AfterMs);
            from = sockaddr_in{};
            from.sin_family = AF_INET;
            from.sin_port = htons(step.Port ? step.Port : SenderPort);
            from.sin_addr.s_addr = inet_addr(Sender);
            length = std::min(capacity, static_cast<int>(step.Bytes.size()));
            memcpy(buffer, step.Bytes.data(), static_cast<size_t>(length));
            return Wait::Datagram;
        case Step::Fail:
            Error = EBADF;
            return Wait::Failed;
        case Step::Quiet:
            break;
        }
        Tick.Advance(static_cast<unsigned>(timeoutMs));
        return Wait::TimedOut;
    }
    int LastError() const override { return Error; }

private:
    FakeHost& Host;
    std::vector<Step> Steps;
    size_t Next = 0;
    bool AcksAfter;
    testkit::FakeTick Tick;
    unsigned Start;
    int Error = 0;
};

struct TransferCase {
    const char* name;
    FakeHost::Source source;
    std::string file;
    std::vector<Step> board;
    bool acksAfter; // after its steps the board acknowledges every block, or stays silent
    std::vector<std::string> sent;
    std::vector<unsigned> sentAt; // checked when given
    std::vector<KTFTPStatus> phases;
    std::vector<std::string> lines;
    size_t failSend = SIZE_MAX;
    unsigned start = 1000; // the tick at the start
};

const std::string Sending = std::string("T Client 192.0.2.50 sending file: ") + Path;
const std::string Finish = "T Client 192.0.2.50 send finish";
const std::string Small = Pattern(700, 3);   // blocks of 512 and 188
const std::string Two = Pattern(1024, 5);    // blocks of 512, 512 and an empty one

void ExpectTransfer(const TransferCase& c)
{
    SCOPED_TRACE(c.name);
    FakeHost host;
    host.From = c.source;
    host.File = c.file;
    FakeLink link(host, c.board, c.acksAfter, c.start);
    link.FailSend = c.failSend;
    KTFTPSubProcess transfer(nullptr, Path, "192.0.2.1", Sender, SenderPort);
    transfer.Run(host, link);
    EXPECT_EQ(link.Sent, c.sent);
    // The transfer's own tally against what the board saw: data bytes, and DATA sent again.
    uint64_t bytes = 0, again = 0;
    for (size_t i = 0; i < link.Sent.size(); ++i) {
        bytes += link.Sent[i][1] == 3 ? link.Sent[i].size() - 4 : 0;
        again += link.Sent[i][1] == 3 && i > 0 && link.Sent[i] == link.Sent[i - 1];
    }
    EXPECT_EQ(transfer.DataBytes, bytes);
    EXPECT_EQ(transfer.Retransmissions, again);
    EXPECT_EQ(transfer.Completed, !host.Phases.empty() && host.Phases.back() == tsFinished);
    if (!c.sentAt.empty()) {
        EXPECT_EQ(link.SentAt, c.sentAt);
    }
    EXPECT_EQ(host.Phases, c.phases);
    EXPECT_EQ(host.Lines, c.lines);
    for (int wait : link.Waits)
        EXPECT_EQ(wait, 2000);
}

TEST(Transfer, SendsWaitsAndEndsAsTheRulesSay)
{
    const TransferCase cases[] = {
        TransferCase{"silent_board", FakeHost::Content, Small, {}, false,
                     std::vector<std::string>(6, Data(1, Small.substr(0, 512))) + std::vector<std::string>{
                         Error(0, "Timed out waiting ack")},
                     {0, 8000, 16000, 24000, 32000, 40000, 48000}, {tsSending, tsAckTimeout},
                     {Sending, "W Timed out waiting ack from 192.0.2.50"}, SIZE_MAX, 4294967295u - 20000},
        TransferCase{"acknowledged_after_the_sixth_send", FakeHost::Content, Small,
                     std::vector<Step>(20, Quiet) + std::vector<Step>{Answer(1500, Ack(1))}, true,
                     std::vector<std::string>(6, Data(1, Small.substr(0, 512))) + std::vector<std::string>{
                         Data(2, Small.substr(512))},
                     {0, 8000, 16000, 24000, 32000, 40000, 41500}, {tsSending, tsFinished}, {Sending, Finish}},
        // Neither a duplicate ACK, an ACK from another port, a long one nor a DATA counts, and
        // none of them restarts the wait: the resend comes once 6000 ms have passed since the send.
        TransferCase{"wrong_datagrams_ignored", FakeHost::Content, Two,
                     {Answer(10, Ack(1)), Answer(1900, Ack(1)), Answer(1900, Ack(2), 1235),
                      Answer(1900, Ack(2) + "x"), Answer(1900, Data(2, "")), Answer(5, Ack(2))},
                     true, {Data(1, Two.substr(0, 512)), Data(2, Two.substr(512)), Data(2, Two.substr(512)), Data(3, "")},
                     {0, 10, 7610, 7615}, {tsSending, tsFinished}, {Sending, Finish}},
        TransferCase{"send_fails", FakeHost::Content, Two, {Answer(10, Ack(1))}, true, {Data(1, Two.substr(0, 512))},
                     {}, {tsSending, tsSendError}, {Sending, "E Client 192.0.2.50 error sending data to socket [101]"},
                     1},
        TransferCase{"receive_fails", FakeHost::Content, Two, {Fail}, true,
                     {Data(1, Two.substr(0, 512)), Error(0, "Socket error while waiting ack")}, {},
                     {tsSending, tsAckError}, {Sending, "E Error while waiting socket [9] from 192.0.2.50"}},
        TransferCase{"unreadable_file", FakeHost::Unreadable, "", {}, true, {Error(0, "Error reading file")}, {},
                     {tsSending, tsReadError}, {Sending, std::string("E Error reading file ") + Path}}};
    for (const TransferCase& c : cases)
        ExpectTransfer(c);
}

// The devices file breaks: the boards read before stay known and are served.
TEST(Replacements, AFailedRewriteIsLoggedAndTheBoardsReadBeforeStayKnown)
{
    PrepareSandbox();
    RecordingServer server;
    server.Request(ReadRequest("fw.bin"), Board(57), 1234); // reads the devices file
    server.FreeMachine(Board(57));
    LogWatch log;
    WriteConfig("devices", "Devices:\n  - 1: [unclosed\n");
    server.Request(ReadRequest("replacements.yaml"), Board(57), 1234);
    WriteConfig("devices", Devices());
    ASSERT_EQ(server.Started.size(), 2u);
    EXPECT_EQ(server.Started[1]->FileName, ServedFrom + "replacements.yaml");
    EXPECT_TRUE(log.WaitFor("Could not rewrite replacements.yaml for 192.0.2.57, serving it as it stands: "));
}

// A board on its own address (added to lo in the test's namespace) asking for fw.bin: it asks
// again every second until a first answer comes, as a board does (a server just started may not
// have bound its socket yet). The transfer it starts runs on while the board is silent.
class Asker {
public:
    explicit Asker(const std::string& address)
        : Added(Sh("ip addr add " + address + "/32 dev lo")), Socket(address, 0, true)
    {
    }
    bool Ask(int attempts)
    {
        std::string request = ReadRequest("fw.bin");
        sockaddr_in to{}, from{};
        to.sin_family = AF_INET;
        to.sin_port = htons(6970);
        to.sin_addr.s_addr = inet_addr(Host.c_str());
        unsigned char answer[600];
        for (int i = 0; i < attempts; ++i) {
            Socket.Send(reinterpret_cast<const unsigned char*>(request.data()), static_cast<int>(request.size()), &to);
            if (Socket.Receive(answer, sizeof answer, &from, 1000) > 0)
                return true;
        }
        return false;
    }

private:
    int Added; // the address is on lo before the socket binds to it
    KUDPSock Socket;
};

TEST(RequestLimit, RequestsWhileTransfersExceedTheLimitAreDropped)
{
    PrepareSandbox();
    Sh("ip addr add " + Host + "/24 dev lo");
    KTFTPServer limited;
    ASSERT_EQ(limited.Start({{Host, "255.255.255.0", "192.0.2.255"}}, 6970, 1), 0);
    Asker first(Board(58)), second(Board(59)), third(Board(60));
    ASSERT_TRUE(first.Ask(5));
    ASSERT_TRUE(second.Ask(5)); // 1 running is not above the limit of 1
    LogWatch log;
    EXPECT_FALSE(third.Ask(1));
    EXPECT_TRUE(log.WaitFor("Max clients(1) reached"));
    limited.WaitTermination();
}

} // namespace
