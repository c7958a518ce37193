#include "Tools/TAVO/KMetricsHttpServer.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <sys/socket.h>
#include <thread>
#include <vector>

#include <httplib.h>

namespace {

const unsigned StopMs = 3000; // a client's read and write end within 2 x ClientSeconds

// httplib's own pool queues every connection it accepts: a local client opening thousands
// would hold as many descriptors, which the boards' transfers need. Here accepting waits while
// the queue is full, and the kernel's small backlog turns the rest away.
class KBoundedPool : public httplib::TaskQueue {
public:
    KBoundedPool(unsigned workers, unsigned pending) : Limit(pending)
    {
        try {
            for (unsigned i = 0; i < workers; ++i)
                Threads.emplace_back([this] { Work(); });
        } catch (...) {
            shutdown();
            throw;
        }
    }
    ~KBoundedPool() override { shutdown(); }
    KBoundedPool(const KBoundedPool&) = delete;
    KBoundedPool& operator=(const KBoundedPool&) = delete;

    void enqueue(std::function<void()> job) override
    {
        std::unique_lock<std::mutex> lock(Mutex);
        Changed.wait(lock, [this] { return Jobs.size() < Limit || Ending; });
        Jobs.push_back(std::move(job));
        Changed.notify_all();
    }

    // The queued connections are still served (each closes its socket), then the workers end.
    void shutdown() override
    {
        {
            std::lock_guard<std::mutex> lock(Mutex);
            Ending = true;
        }
        Changed.notify_all();
        for (std::thread& t : Threads)
            if (t.joinable())
                t.join();
    }

private:
    void Work()
    {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> lock(Mutex);
                Changed.wait(lock, [this] { return !Jobs.empty() || Ending; });
                if (Jobs.empty())
                    return;
                job = std::move(Jobs.front());
                Jobs.pop_front();
            }
            Changed.notify_all();
            job();
        }
    }

    const size_t Limit;
    std::mutex Mutex;
    std::condition_variable Changed;
    std::deque<std::function<void()>> Jobs; // Mutex
    bool Ending = false;                    // Mutex
    std::vector<std::thread> Threads;
};

} // namespace

KMetricsHttpServer::KMetricsHttpServer(KLogger& logger, BodySource body) : Logger(logger), Body(std::move(body)) {}

KMetricsHttpServer::~KMetricsHttpServer()
{
    Stop();
}

bool KMetricsHttpServer::Start(unsigned port)
{
    if (Http && port == Serving)
        return true;
    Stop();
    if (port == 0)
        return true;
    if (port > 65535) {
        Logger.Error("Metrics over HTTP unavailable: port %u is not a valid port (1-65535)", port);
        return false;
    }
    try {
        return Listen(port);
    } catch (const std::exception& e) {
        Logger.Error("Metrics over HTTP unavailable: %s", e.what());
        return false;
    }
}

bool KMetricsHttpServer::Listen(unsigned port)
{
    // Creating the server ignores SIGPIPE for the whole process (the library's doing); the
    // daemon's own sockets send with MSG_NOSIGNAL anyway.
    auto http = std::make_shared<httplib::Server>();
    http->new_task_queue = [] { return new KBoundedPool(Workers, Pending); }; // httplib owns it
    http->set_read_timeout(ClientSeconds, 0);
    http->set_write_timeout(ClientSeconds, 0);
    http->set_keep_alive_max_count(1);
    http->set_payload_max_length(MaxPayload);
    // Not the library's defaults, which add SO_REUSEPORT: a second daemon must fail to bind
    // instead of sharing the port. Close-on-exec, as every other socket of the daemon.
    http->set_socket_options([](int sock) {
        const int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        ::fcntl(sock, F_SETFD, FD_CLOEXEC);
    });
    http->set_pre_routing_handler([](const httplib::Request& request, httplib::Response& response) {
        if (request.path != Path || request.method == "GET" || request.method == "HEAD")
            return httplib::Server::HandlerResponse::Unhandled;
        response.status = 405;
        response.set_header("Allow", "GET, HEAD");
        return httplib::Server::HandlerResponse::Handled;
    });
    BodySource body = Body;
    http->Get(Path, [body](const httplib::Request&, httplib::Response& response) {
        response.set_content(body(), ContentType);
    });
    // Loopback only: the counters are the operator's, not the boot LAN's, whose boards and
    // anyone else on it have no business reading them.
    if (!http->bind_to_port(Address, static_cast<int>(port))) {
        Logger.Error("Metrics over HTTP unavailable: cannot listen on %s:%u: %s", Address, port, std::strerror(errno));
        return false;
    }
    // On a thread of the default policy: the pool's workers, created by it, inherit policy and name.
    if (Threads.StartServers({[http](KThreadLifetimes::Token&) {
            pthread_setname_np(pthread_self(), ThreadName);
            http->listen_after_bind();
        }}) != 0) {
        Logger.Error("Metrics over HTTP unavailable: no thread for it");
        return false;
    }
    Http = std::move(http);
    Serving = port;
    Logger.Info("Metrics over HTTP: http://%s:%u%s", Address, port, Path);
    return true;
}

void KMetricsHttpServer::Stop()
{
    if (!Http)
        return;
    Threads.Stop();
    // A stop before the thread has entered its accept loop would find nothing to close: it is
    // asked once that loop runs.
    const KThreadLifetimes::Deadline deadline = KThreadLifetimes::After(StopMs);
    bool asked = false;
    for (;;) {
        if (!asked && Http->is_running()) {
            Http->stop();
            asked = true;
        }
        if (Threads.WaitIdle(std::min(deadline, KThreadLifetimes::After(asked ? StopMs : 10))))
            break;
        if (KThreadLifetimes::Clock::now() >= deadline) {
            Logger.Warning("Metrics over HTTP: a client still holds a worker; it ends by itself.");
            break;
        }
    }
    Http.reset();
    Serving = 0;
}
