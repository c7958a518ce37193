#pragma once
// The operators' window into a running daemon: a Unix stream socket (/run/tavo/control, or
// $TAVO_CONTROL_SOCKET) that answers `status`, `boards`, `counters` and `metrics`, each
// optionally with ` json` (not metrics). One request line per connection, one answer, then the connection is
// closed. Read-only: nothing sent here changes the daemon.
//
// Peers are root or members of the socket's group (`tavo`, when it exists). Every client is
// bounded (line length, a deadline, a handful served at once) and served on threads of the
// default scheduling policy, so a slow or hostile local client never delays a board.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "Basekit/KFileDescriptor.h"
#include "Basekit/KLogBudget.h"
#include "Basekit/KLogger.h"
#include "Basekit/KThreadLifetimes.h"
#include "Tools/TAVO/KBoardActivity.h"

class KControlServer {
public:
    // What `status` reports; what the service cannot tell cheaply it leaves at its default.
    struct Status {
        std::string Version;
        long long UptimeSeconds = 0;
        std::string DevicesFile;
        long long DevicesModified = -1; // seconds since 1970; -1: the file cannot be examined
        long long Boards = -1;          // as last loaded; -1: not loaded
        long long LastReload = -1;      // when the last reload pass ended; -1: none yet
        bool LastReloadOk = false;
        std::vector<std::string> Interfaces;
        bool BootpUp = false, TftpUp = false, TimeUp = false;
        int Transfers = 0, TransferLimit = 0;
        int RequestThreads = 0, RequestThreadLimit = 0;
    };
    using StatusSource = std::function<Status()>;
    using Counters = std::vector<std::pair<std::string, uint64_t>>;
    using Boards = std::vector<KBoardActivity::Row>;
    using BoardsSource = std::function<Boards()>;

    static constexpr const char* DefaultPath = "/run/tavo/control";
    static constexpr const char* GroupName = "tavo";
    static constexpr unsigned MaxRequest = 256; // bytes of the request line, its newline excluded
    static constexpr unsigned MaxClients = 4;   // served at once; more are closed at once
    static constexpr unsigned ClientMs = 2000;  // for the request to arrive and the answer to leave

    KControlServer(KLogger& logger, StatusSource status, BoardsSource boards);
    // Stops and waits for the threads, which use this object.
    ~KControlServer();
    KControlServer(const KControlServer&) = delete;
    KControlServer& operator=(const KControlServer&) = delete;

    // The socket's path: $TAVO_CONTROL_SOCKET when set, else DefaultPath. Inline: tavoctl
    // shares it without linking the daemon.
    static std::string ConfiguredPath()
    {
        const char* path = std::getenv("TAVO_CONTROL_SOCKET");
        return path && *path ? path : DefaultPath;
    }

    // Creates the directory (0750, never through a link) and binds the socket with its owner
    // and mode, not yet listening: connections are refused until Serve. Done while the
    // daemon may still change a file's group. false on failure, which Serve reports.
    bool Open(const std::string& path);
    bool IsOpen() const { return Listener.Get() >= 0; }
    // Listens and starts the accepting thread; false when not open (the reason logged once)
    // or already serving.
    bool Serve();
    // Ends the threads (bounded wait) and removes the socket.
    void Close();

    // The answer to one request line (without its newline); pure, for the tests' tables.
    static std::string Answer(const std::string& request, const Status& status, const Counters& counters,
                              const Boards& boards = Boards());

private:
    void AcceptLoop();
    void ServeClient(int fd);
    bool Allowed(int fd, std::string& who) const;

    KLogger& Logger;
    StatusSource StatusOf;
    BoardsSource BoardsOf;
    std::string Path;
    std::string Failure; // why the last Open failed or fell short, until Serve reports it
    unsigned Group = 0;     // GroupName's id
    bool HasGroup = false;  // the socket has that group: its members are answered
    basekit::KFileDescriptor Listener;
    basekit::KFileDescriptor StopEvent; // an eventfd: Close wakes the accepting thread at once
    // Peers refused: any local user can connect, so their lines are budgeted.
    KLogBudget Budget;
    KThreadLifetimes Threads{false};
};
