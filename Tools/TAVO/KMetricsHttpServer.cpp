#include "Tools/TAVO/KMetricsHttpServer.h"

#include <algorithm>
#include <dlfcn.h>
#include <exception>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Basekit/KFileDescriptor.h"
#include "Basekit/KHostSystem.h"
#include "Tools/TAVO/KHttpEndpoint.h"

namespace {

const unsigned StopMs = 3000; // a client's read and write end within 2 x ClientSeconds

// The executable's directory, with its slash; empty when unknown.
std::string Here()
{
    char path[4096];
    if (!KHostSystem::GetExeName(path, sizeof path, true))
        return std::string();
    const std::string exe = path;
    return exe.substr(0, exe.rfind('/') + 1);
}

// The module's factory, loaded once for the process and never unloaded (its code may still
// run on a thread that outlived a stop). Only a regular file of root's (or the daemon's own
// user's) that no one else may write is loaded, and the file checked is the file loaded.
KHttpEndpoint::Factory LoadFactory(std::string& error)
{
    static std::mutex mutex;
    static KHttpEndpoint::Factory factory = nullptr;
    std::lock_guard<std::mutex> lock(mutex);
    if (factory)
        return factory;
    error = std::string(KMetricsHttpServer::ModuleName) + " not found";
    for (const std::string& directory : {Here(), std::string(TAVO_MODULE_DIR "/")}) {
        const std::string path = directory + KMetricsHttpServer::ModuleName;
        basekit::KFileDescriptor file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        struct stat st {};
        if (directory.empty() || file.Get() < 0 || ::fstat(file.Get(), &st) != 0)
            continue;
        if (!S_ISREG(st.st_mode) || (st.st_uid != 0 && st.st_uid != ::geteuid()) || (st.st_mode & 022)) {
            error = path + " is not a file only root may change";
            return nullptr;
        }
        const std::string opened = "/proc/self/fd/" + std::to_string(file.Get());
        void* module = ::dlopen(opened.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!module) {
            const char* why = ::dlerror();
            error = path + ": " + (why ? why : "cannot be loaded");
            return nullptr;
        }
        factory = reinterpret_cast<KHttpEndpoint::Factory>(::dlsym(module, KHttpEndpoint::FactoryName));
        if (!factory)
            error = path + " has no " + KHttpEndpoint::FactoryName;
        return factory;
    }
    return nullptr;
}

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
    std::string error;
    const KHttpEndpoint::Factory factory = LoadFactory(error);
    if (!factory) {
        Logger.Error("Metrics over HTTP unavailable: %s", error.c_str());
        return false;
    }
    KHttpEndpoint::Settings settings;
    // Loopback only: the counters are the operator's, not the boot LAN's, whose boards and
    // anyone else on it have no business reading them.
    settings.Address = Address;
    settings.Port = port;
    settings.Path = Path;
    settings.ContentType = ContentType;
    settings.Workers = Workers;
    settings.Pending = Pending;
    settings.ClientSeconds = ClientSeconds;
    settings.MaxPayload = MaxPayload;
    settings.Body = Body;
    std::shared_ptr<KHttpEndpoint> http(factory(settings));
    if (!http) {
        Logger.Error("Metrics over HTTP unavailable: no memory for it");
        return false;
    }
    if (!http->Bind(error)) {
        Logger.Error("Metrics over HTTP unavailable: %s", error.c_str());
        return false;
    }
    // On a thread of the default policy: the pool's workers, created by it, inherit policy and name.
    if (Threads.StartServers({[http](KThreadLifetimes::Token&) {
            pthread_setname_np(pthread_self(), ThreadName);
            http->Listen();
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
        if (!asked && Http->IsListening()) {
            Http->Stop();
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
