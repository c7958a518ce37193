#include "Tools/TAVO/KHttplibEndpoint.h"

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <sys/socket.h>
#include <thread>
#include <vector>

#include <httplib.h>

namespace {

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

KHttplibEndpoint::KHttplibEndpoint(const Settings& settings) : Config(settings)
{
    // Creating the server ignores SIGPIPE for the whole process (the library's doing); the
    // daemon's own sockets send with MSG_NOSIGNAL anyway.
    Http.reset(new httplib::Server);
    const unsigned workers = Config.Workers, pending = Config.Pending;
    Http->new_task_queue = [workers, pending] { return new KBoundedPool(workers, pending); }; // httplib owns it
    Http->set_read_timeout(Config.ClientSeconds, 0);
    Http->set_write_timeout(Config.ClientSeconds, 0);
    Http->set_keep_alive_max_count(1);
    Http->set_payload_max_length(Config.MaxPayload);
    // Not the library's defaults, which add SO_REUSEPORT: a second daemon must fail to bind
    // instead of sharing the port. Close-on-exec, as every other socket of the daemon.
    Http->set_socket_options([](int sock) {
        const int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        ::fcntl(sock, F_SETFD, FD_CLOEXEC);
    });
    const std::string path = Config.Path;
    Http->set_pre_routing_handler([path](const httplib::Request& request, httplib::Response& response) {
        if (request.path != path || request.method == "GET" || request.method == "HEAD")
            return httplib::Server::HandlerResponse::Unhandled;
        response.status = 405;
        response.set_header("Allow", "GET, HEAD");
        return httplib::Server::HandlerResponse::Handled;
    });
    const std::function<std::string()> body = Config.Body;
    const std::string type = Config.ContentType;
    Http->Get(path, [body, type](const httplib::Request&, httplib::Response& response) {
        response.set_content(body(), type);
    });
}

KHttplibEndpoint::~KHttplibEndpoint() = default;

bool KHttplibEndpoint::Bind(std::string& error)
{
    if (Http->bind_to_port(Config.Address, static_cast<int>(Config.Port)))
        return true;
    error = std::string("cannot listen on ") + Config.Address + ":" + std::to_string(Config.Port) + ": " +
            std::strerror(errno);
    return false;
}

void KHttplibEndpoint::Listen()
{
    Http->listen_after_bind();
}

bool KHttplibEndpoint::IsListening()
{
    return Http->is_running();
}

void KHttplibEndpoint::Stop()
{
    Http->stop();
}

extern "C" KHttpEndpoint* tavo_http_endpoint(const KHttpEndpoint::Settings& settings)
{
    try {
        return new KHttplibEndpoint(settings);
    } catch (...) {
        return nullptr; // the caller reports it; nothing may unwind out of the module's entry
    }
}
