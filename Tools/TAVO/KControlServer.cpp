#include "Tools/TAVO/KControlServer.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <fcntl.h>
#include <grp.h>
#include <memory>
#include <poll.h>
#include <pwd.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "Basekit/KWireText.h"
#include "Tools/TAVO/KCounters.h"

namespace {

using Clock = std::chrono::steady_clock;

// The accepting thread wakes once a second, as the servers' loops do, only to write its log
// budget's summaries; a stop wakes it at once through StopEvent.
const int AcceptPollMs = 1000;
const unsigned WaitMs = 3000; // for the threads at Close: clients end within ClientMs

int MsLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for events on fd until the deadline; false when it came first or the socket failed.
bool WaitFor(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, MsLeft(deadline));
        if (n > 0)
            return (p.revents & events) != 0 || (p.revents & POLLHUP);
        if (n == 0 || errno != EINTR)
            return false;
    }
}

std::string Json(const std::string& text)
{
    std::string out = "\"";
    for (const unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            char code[8];
            std::snprintf(code, sizeof code, "\\u%04x", c);
            out += code;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string Utc(long long seconds)
{
    const time_t t = static_cast<time_t>(seconds);
    tm parts{};
    char text[32];
    if (!gmtime_r(&t, &parts) || std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts) == 0)
        return "?";
    return text;
}

std::string Of(int used, int limit)
{
    return std::to_string(used) + " of " + std::to_string(limit);
}

std::string StatusText(const KControlServer::Status& s)
{
    std::string devices = s.DevicesFile + ", ";
    devices += s.DevicesModified < 0 ? std::string("cannot be examined") : "modified " + Utc(s.DevicesModified);
    std::string interfaces;
    for (const std::string& i : s.Interfaces)
        interfaces += (interfaces.empty() ? "" : " ") + i;
    const auto up = [](bool running) { return running ? "up" : "down"; };
    const std::pair<const char*, std::string> lines[] = {
        {"version", s.Version},
        {"uptime", std::to_string(s.UptimeSeconds) + " s"},
        {"devices", devices},
        {"boards", s.Boards < 0 ? std::string("not loaded") : std::to_string(s.Boards)},
        {"last-reload", s.LastReload < 0 ? std::string("none")
                                         : Utc(s.LastReload) + (s.LastReloadOk ? " ok" : " failed")},
        {"interfaces", interfaces.empty() ? std::string("none") : interfaces},
        {"servers", std::string("bootp ") + up(s.BootpUp) + ", tftp " + up(s.TftpUp) + ", time " + up(s.TimeUp)},
        {"transfers", Of(s.Transfers, s.TransferLimit)},
        {"bootp-threads", Of(s.RequestThreads, s.RequestThreadLimit)},
    };
    std::string out;
    for (const auto& line : lines) {
        char name[20];
        std::snprintf(name, sizeof name, "%-15s", line.first);
        out += name + line.second + "\n";
    }
    return out;
}

std::string StatusJson(const KControlServer::Status& s)
{
    const auto known = [](long long value) { return value < 0 ? std::string("null") : std::to_string(value); };
    const auto flag = [](bool value) { return value ? "true" : "false"; };
    const auto pair = [](int used, int limit) {
        return "{\"in_flight\": " + std::to_string(used) + ", \"limit\": " + std::to_string(limit) + "}";
    };
    std::string interfaces;
    for (const std::string& i : s.Interfaces)
        interfaces += (interfaces.empty() ? "" : ", ") + Json(i);
    return "{\"version\": " + Json(s.Version) + ", \"uptime_seconds\": " + std::to_string(s.UptimeSeconds) +
           ", \"devices\": {\"file\": " + Json(s.DevicesFile) + ", \"modified\": " + known(s.DevicesModified) +
           ", \"boards\": " + known(s.Boards) + "}, \"last_reload\": " +
           (s.LastReload < 0 ? std::string("null")
                             : "{\"at\": " + std::to_string(s.LastReload) + ", \"ok\": " + flag(s.LastReloadOk) + "}") +
           ", \"interfaces\": [" + interfaces +
           "], \"servers\": {\"bootp\": " + flag(s.BootpUp) + ", \"tftp\": " + flag(s.TftpUp) +
           ", \"time\": " + flag(s.TimeUp) + "}, \"transfers\": " + pair(s.Transfers, s.TransferLimit) +
           ", \"bootp_request_threads\": " + pair(s.RequestThreads, s.RequestThreadLimit) + "}\n";
}

std::string CountersText(const KControlServer::Counters& counters)
{
    size_t width = 0;
    for (const auto& c : counters)
        width = std::max(width, c.first.size());
    std::string out;
    for (const auto& c : counters)
        out += c.first + std::string(width + 2 - c.first.size(), ' ') + std::to_string(c.second) + "\n";
    return out;
}

std::string CountersJson(const KControlServer::Counters& counters)
{
    std::string out = "{";
    for (const auto& c : counters)
        out += (out.size() > 1 ? ", " : "") + Json(c.first) + ": " + std::to_string(c.second);
    return out + "}\n";
}

// "4s", "12m", "3h", "5d": the age of a board's last event, at a glance; "-" for never.
std::string Age(double seconds)
{
    if (seconds < 0)
        return "-";
    const long long s = static_cast<long long>(seconds);
    if (s < 120)
        return std::to_string(s) + "s";
    if (s < 7200)
        return std::to_string(s / 60) + "m";
    if (s < 172800)
        return std::to_string(s / 3600) + "h";
    return std::to_string(s / 86400) + "d";
}

std::string Rate(uint64_t bytesPerSecond)
{
    char text[24];
    if (bytesPerSecond >= 1048576)
        std::snprintf(text, sizeof text, "%.1f MiB/s", static_cast<double>(bytesPerSecond) / 1048576);
    else
        std::snprintf(text, sizeof text, "%llu KiB/s", static_cast<unsigned long long>(bytesPerSecond / 1024));
    return text;
}

std::string BoardsText(const KControlServer::Boards& boards)
{
    using Row = KBoardActivity::Row;
    const auto dash = [](const std::string& text) { return text.empty() ? std::string("-") : text; };
    const std::pair<const char*, std::function<std::string(const Row&)>> columns[] = {
        {"SERIAL", [](const Row& r) { return r.Serial ? std::to_string(r.Serial) : std::string("-"); }},
        {"SENDER", [](const Row& r) { return std::string(r.Configured ? "board" : "unknown"); }},
        {"ADDRESS", [&](const Row& r) { return dash(r.Address); }},
        {"INTERFACE", [&](const Row& r) { return dash(r.Interface); }},
        {"PHASE", [&](const Row& r) { return dash(r.Phase); }},
        {"SINCE", [](const Row& r) { return Age(r.PhaseAge); }},
        {"REQUEST", [](const Row& r) { return Age(r.RequestAge); }},
        {"ANSWER", [](const Row& r) { return Age(r.ReplyAge); }},
        {"PROBE", [&](const Row& r) { return dash(KBoardActivity::Name(r.ProbeResult)); }},
        {"FILE", [&](const Row& r) { return dash(basekit::EscapeWireText(r.File)); }},
        {"BLOCK", [](const Row& r) {
             return r.HasTransfer ? std::to_string(r.Block) + "/" + std::to_string(r.Blocks) : std::string("-");
         }},
        {"RATE", [](const Row& r) { return r.HasTransfer ? Rate(r.BytesPerSecond) : std::string("-"); }},
        {"BOOTS", [](const Row& r) { return std::to_string(r.Boots); }},
        {"LAST-ERROR", [&](const Row& r) { return dash(r.LastError); }},
    };
    const size_t n = sizeof columns / sizeof columns[0];
    std::vector<std::vector<std::string>> cells(1);
    for (const auto& column : columns)
        cells[0].push_back(column.first);
    for (const Row& row : boards) {
        cells.emplace_back();
        for (const auto& column : columns)
            cells.back().push_back(column.second(row));
    }
    std::vector<size_t> width(n, 0);
    for (const auto& line : cells)
        for (size_t i = 0; i < n; ++i)
            width[i] = std::max(width[i], line[i].size());
    std::string out;
    for (const auto& line : cells) {
        std::string text;
        for (size_t i = 0; i < n; ++i)
            text += i + 1 < n ? line[i] + std::string(width[i] + 2 - line[i].size(), ' ') : line[i];
        out += text + "\n";
    }
    return out;
}

std::string BoardsJson(const KControlServer::Boards& boards)
{
    const auto text = [](const std::string& value) { return value.empty() ? std::string("null") : Json(value); };
    const auto age = [](double seconds) {
        if (seconds < 0)
            return std::string("null");
        char value[32];
        std::snprintf(value, sizeof value, "%.3f", seconds);
        return std::string(value);
    };
    std::string out = "{\"boards\": [";
    for (const KBoardActivity::Row& r : boards) {
        const auto transfer = [&r](uint64_t value) { return r.HasTransfer ? std::to_string(value) : std::string("null"); };
        out += std::string(out.back() == '[' ? "" : ", ") + "{\"serial\": " +
               (r.Serial ? std::to_string(r.Serial) : std::string("null")) + ", \"mac\": " + text(r.Mac) +
               ", \"address\": " + text(r.Address) + ", \"interface\": " + text(r.Interface) +
               ", \"configured\": " + (r.Configured ? "true" : "false") + ", \"phase\": " + text(r.Phase) +
               ", \"phase_age\": " + age(r.PhaseAge) + ", \"bootp_request_age\": " + age(r.RequestAge) +
               ", \"bootp_reply_age\": " + age(r.ReplyAge) +
               ", \"probe\": " + text(KBoardActivity::Name(r.ProbeResult)) +
               ", \"file\": " + text(basekit::EscapeWireText(r.File)) + ", \"block\": " + transfer(r.Block) +
               ", \"blocks\": " + transfer(r.Blocks) + ", \"size\": " + transfer(r.Size) +
               ", \"bytes_per_second\": " + transfer(r.BytesPerSecond) + ", \"boots\": " + std::to_string(r.Boots) +
               ", \"last_error\": " + text(r.LastError) + "}";
    }
    return out + "]}\n";
}

void Metric(std::string& out, const std::string& name, const char* type, const std::string& help,
            const std::string& samples)
{
    out += "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n" + samples;
}

std::string Metrics(const KControlServer::Status& s, const KControlServer::Counters& counters)
{
    std::string out;
    for (const auto& c : counters) {
        std::string name = "tavo_" + c.first + "_total";
        for (char& ch : name)
            if (ch == '-')
                ch = '_';
        Metric(out, name, "counter", "Count of " + c.first + " since the daemon started.",
               name + " " + std::to_string(c.second) + "\n");
    }
    const auto gauge = [&out](const std::string& name, const std::string& help, long long value) {
        Metric(out, name, "gauge", help, name + " " + std::to_string(value) + "\n");
    };
    gauge("tavo_uptime_seconds", "Seconds since the daemon started.", s.UptimeSeconds);
    gauge("tavo_tftp_transfers_in_flight", "TFTP transfers running now.", s.Transfers);
    gauge("tavo_tftp_transfers_limit", "TFTP transfers allowed at once.", s.TransferLimit);
    gauge("tavo_bootp_request_threads_in_flight", "BOOTP requests being processed now.", s.RequestThreads);
    gauge("tavo_bootp_request_threads_limit", "BOOTP requests processed at once at most.", s.RequestThreadLimit);
    if (s.Boards >= 0)
        gauge("tavo_boards_configured", "Boards in the devices file as last loaded.", s.Boards);
    if (s.DevicesModified >= 0)
        gauge("tavo_devices_modified_seconds", "Modification time of the devices file.", s.DevicesModified);
    if (s.LastReload >= 0) {
        gauge("tavo_last_reload_seconds", "When the last configuration reload pass ended.", s.LastReload);
        gauge("tavo_last_reload_success", "Whether the last reload pass loaded every file.", s.LastReloadOk ? 1 : 0);
    }
    std::string up;
    for (const auto& server : {std::make_pair("bootp", s.BootpUp), std::make_pair("tftp", s.TftpUp),
                               std::make_pair("time", s.TimeUp)})
        up += std::string("tavo_server_up{server=\"") + server.first + "\"} " + (server.second ? "1" : "0") + "\n";
    Metric(out, "tavo_server_up", "gauge", "Whether the server runs.", up);
    std::string version;
    for (const char c : s.Version)
        if (c != '"' && c != '\\' && c != '\n')
            version += c;
    Metric(out, "tavo_build_info", "gauge", "The daemon's version.", "tavo_build_info{version=\"" + version + "\"} 1\n");
    return out;
}

} // namespace

KControlServer::KControlServer(KLogger& logger, StatusSource status, BoardsSource boards)
    : Logger(logger), StatusOf(std::move(status)), BoardsOf(std::move(boards)),
      StopEvent(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
}

KControlServer::~KControlServer()
{
    Close();
}

bool KControlServer::Open(const std::string& path)
{
    if (IsOpen())
        return true;
    const size_t slash = path.rfind('/');
    Path = path;
    if (path.empty() || path.size() >= sizeof(sockaddr_un::sun_path) || slash == std::string::npos ||
        slash + 1 == path.size()) {
        Failure = "not a usable socket path";
        return false;
    }
    const std::string directory = slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = path.substr(slash + 1);
    const auto fail = [&](const char* what) {
        Failure = std::string(what) + ": " + std::strerror(errno);
        return false;
    };

    group grp{}, *found = nullptr;
    std::vector<char> buffer(16384);
    HasGroup = getgrnam_r(GroupName, &grp, buffer.data(), buffer.size(), &found) == 0 && found;
    Group = HasGroup ? grp.gr_gid : 0;
    const bool groupWanted = HasGroup;
    Failure.clear();

    const bool created = ::mkdir(directory.c_str(), 0750) == 0;
    if (!created && errno != EEXIST)
        return fail("cannot create its directory");
    // Never through a link, and only a directory no one else could have prepared for us.
    basekit::KFileDescriptor dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (dir.Get() < 0 || ::fstat(dir.Get(), &st) != 0)
        return fail("its directory cannot be opened (a link?)");
    if (st.st_uid != ::geteuid() || (st.st_mode & S_IWOTH) || (HasGroup && (st.st_mode & S_IWGRP))) {
        errno = EPERM;
        return fail("its directory is not the daemon's own");
    }
    // The group must be able to reach the socket; a directory named by the operator keeps its
    // mode. Giving a group takes CAP_CHOWN or membership of it (the packaged unit's
    // SupplementaryGroups=); without either the socket is root's alone. A mode already right is
    // left alone: a unit with RestrictSUIDSGID= refuses even a chmod that keeps a setgid bit.
    const bool own = created || path == DefaultPath;
    if (own && HasGroup && st.st_gid != Group && ::fchown(dir.Get(), static_cast<uid_t>(-1), Group) != 0)
        HasGroup = false;
    const mode_t mode = (st.st_mode & S_ISGID) | 0750;
    if (own && (st.st_mode & 07777) != mode && ::fchmod(dir.Get(), mode) != 0)
        return fail("cannot set its directory's mode");

    // A socket left by a daemon that did not stop cleanly is ours to replace; anything else is not.
    if (::fstatat(dir.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            errno = EEXIST;
            return fail("something else has its name");
        }
        if (::unlinkat(dir.Get(), name.c_str(), 0) != 0)
            return fail("cannot remove the old socket");
    }
    basekit::KFileDescriptor sock(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (sock.Get() < 0)
        return fail("socket");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size());
    // Its mode is set right after: until Serve nobody can connect, and the directory is closed.
    if (::bind(sock.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return fail("bind");
    if (HasGroup && (::fstatat(dir.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_gid != Group) &&
        ::fchownat(dir.Get(), name.c_str(), static_cast<uid_t>(-1), Group, AT_SYMLINK_NOFOLLOW) != 0)
        HasGroup = false;
    if (groupWanted && !HasGroup)
        Failure = std::string("group ") + GroupName + " not given (no CAP_CHOWN): root only";
    if (::fchmodat(dir.Get(), name.c_str(), HasGroup ? 0660 : 0600, 0) != 0) {
        const int error = errno;
        ::unlinkat(dir.Get(), name.c_str(), 0);
        errno = error;
        return fail("cannot set its owner and mode");
    }
    Listener = std::move(sock);
    return true;
}

bool KControlServer::Serve()
{
    if (Threads.IsRunning())
        return false;
    // Open's trouble is reported here: it runs before the log is up.
    if (!IsOpen()) {
        if (!Failure.empty())
            Logger.Error("Control socket %s unavailable: %s", Path.c_str(), Failure.c_str());
        Failure.clear();
        return false;
    }
    if (!Failure.empty())
        Logger.Warning("Control socket %s: %s", Path.c_str(), Failure.c_str());
    Failure.clear();
    if (::listen(Listener.Get(), 16) != 0) {
        Logger.Error("Control socket %s unavailable: listen: %s", Path.c_str(), std::strerror(errno));
        return false;
    }
    if (Threads.StartServers({[this](KThreadLifetimes::Token&) { AcceptLoop(); }}) != 0)
        return false;
    Logger.Info("Control socket %s ready.", Path.c_str());
    return true;
}

void KControlServer::Close()
{
    Threads.Stop();
    if (StopEvent.Get() >= 0)
        ::eventfd_write(StopEvent.Get(), 1);
    if (!Threads.WaitIdle(KThreadLifetimes::After(WaitMs)))
        Logger.Warning("Control socket: a client thread did not end.");
    if (IsOpen()) {
        ::unlink(Path.c_str());
        Listener.Reset();
    }
}

void KControlServer::AcceptLoop()
{
    while (Threads.IsRunning()) {
        Budget.Flush(Logger);
        pollfd p[2] = {{Listener.Get(), POLLIN, 0}, {StopEvent.Get(), POLLIN, 0}};
        if (::poll(p, 2, AcceptPollMs) <= 0)
            continue;
        eventfd_t stops = 0;
        if (p[1].revents & POLLIN)
            ::eventfd_read(StopEvent.Get(), &stops); // also an earlier Close's, before a restart
        if (!(p[0].revents & POLLIN))
            continue;
        const int fd = ::accept4(Listener.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        // Shared, as the thread's body is copied: whichever copy is last closes it, so a
        // client beyond MaxClients is closed right here.
        auto client = std::make_shared<basekit::KFileDescriptor>(fd);
        Threads.Start(
            KThreadLifetimes::Worker, [this, client](KThreadLifetimes::Token&) { ServeClient(client->Get()); },
            MaxClients);
    }
}

bool KControlServer::Allowed(int fd, std::string& who) const
{
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0)
        return false;
    who = "uid " + std::to_string(peer.uid) + " pid " + std::to_string(peer.pid);
    if (peer.uid == 0)
        return true;
    if (!HasGroup)
        return false;
    if (peer.gid == Group)
        return true;
    passwd account{}, *found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(peer.uid, &account, buffer.data(), buffer.size(), &found) != 0 || !found)
        return false;
    std::vector<gid_t> groups(64);
    for (int attempt = 0; attempt < 2; ++attempt) {
        int count = static_cast<int>(groups.size());
        if (getgrouplist(account.pw_name, account.pw_gid, groups.data(), &count) >= 0) {
            groups.resize(static_cast<size_t>(count));
            for (const gid_t g : groups)
                if (g == Group)
                    return true;
            return false;
        }
        groups.resize(static_cast<size_t>(count > 0 && count < 65536 ? count : 64));
    }
    return false;
}

void KControlServer::ServeClient(int fd)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ClientMs);
    // The line is read even from a peer to be refused: a socket closed with unread input
    // resets the connection, and the peer would not see why.
    std::string line, answer, who;
    bool complete = false;
    char chunk[MaxRequest + 1];
    while (!complete && line.size() <= MaxRequest) {
        if (!WaitFor(fd, POLLIN, deadline))
            return; // no line in time: closed without an answer
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0) {
            complete = n == 0;
            break;
        }
        line.append(chunk, static_cast<size_t>(n));
        const size_t end = line.find('\n');
        if (end != std::string::npos) {
            line.resize(end);
            complete = true;
        }
    }
    if (!Allowed(fd, who)) {
        if (Budget.Allow(who, "control not allowed", klWarning))
            Logger.Warning("Control request refused: %s is neither root nor in group %s", who.c_str(), GroupName);
        answer = "error: not allowed\n";
    } else if (!complete || line.size() > MaxRequest) {
        answer = "error: request too long\n";
    } else {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        // Status and boards each read the devices table: only what is asked is made.
        const std::string word = line.substr(0, line.find(' '));
        const bool status = word == "status" || word == "metrics";
        answer = Answer(line, status ? StatusOf() : Status(), KCounters::Process().Snapshot(),
                        word == "boards" ? BoardsOf() : Boards());
    }
    size_t sent = 0;
    while (sent < answer.size() && WaitFor(fd, POLLOUT, deadline)) {
        const ssize_t n = ::send(fd, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
        if (n > 0)
            sent += static_cast<size_t>(n);
        else if (n < 0 && errno != EINTR && errno != EAGAIN)
            break;
    }
    ::shutdown(fd, SHUT_WR);
}

std::string KControlServer::Answer(const std::string& request, const Status& status, const Counters& counters,
                                   const Boards& boards)
{
    const size_t space = request.find(' ');
    const std::string word = request.substr(0, space);
    const std::string rest = space == std::string::npos ? std::string() : request.substr(space + 1);
    const bool json = rest == "json";
    if (!rest.empty() && !json)
        return "error: unknown option '" + rest.substr(0, 32) + "' (only json)\n";
    if (word == "status")
        return json ? StatusJson(status) : StatusText(status);
    if (word == "counters")
        return json ? CountersJson(counters) : CountersText(counters);
    if (word == "boards")
        return json ? BoardsJson(boards) : BoardsText(boards);
    if (word == "metrics")
        return json ? "error: metrics has no json form\n" : Metrics(status, counters);
    return "error: unknown request '" + word.substr(0, 32) + "' (status, boards, counters, metrics)\n";
}
