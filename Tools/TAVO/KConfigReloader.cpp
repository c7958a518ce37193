#include "Tools/TAVO/KConfigReloader.h"

#include <atomic>
#include <ctime>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <vector>

#include "Basekit/KBaseException.h"
#include "Basekit/KHostSystem.h"
#include "Basekit/KLogManager.h"
#include "Tools/TAVO/ConfigLoad.h"
#include "Tools/TAVO/KConfigLoadError.h"
#include "Tools/TAVO/KConfLog.h"
#include "Tools/TAVO/KSystemdNotifier.h"
#include "Basekit/KThreadLifetimes.h"

// Locking: every change of the registry, every single load and every in-place LoadConfig runs
// under KConfigReloader::Mutex (recursive), and readers copy a configuration object's fields
// under the same mutex (TAVOCfg::Copy, TAVODevs::Copy). One lock for all of them keeps the
// rules simple: a reader waits at most for one reload pass, which only reads a few small files,
// and it can never see an object half-way through a load. The walks over the registry hold the
// mutex for the whole pass, so validation clones registering and unregistering on other threads
// wait until the pass is done; the clones of the pass itself come and go on the walking thread,
// inside the single load, and are never visited. Registered objects other than those clones
// live until the process ends (KConfig never deletes them), so a pass never meets an object
// that is being destroyed.

namespace config {

basekit::KThreadMutex KConfigReloader::Mutex;

namespace {

struct Registry {
    std::list<KReloadable*> objects; // in order of construction
    KConfigReloader::ReloadCallback callback = nullptr;
    void* argument = nullptr;
};

// Created on first use and never destroyed: objects may still unregister during static
// destruction at process exit.
Registry& Instance()
{
    static Registry* registry = new Registry;
    return *registry;
}

[[noreturn]] void Fail(const kstring& text, const kstring& path, const YAML::Mark& mark)
{
    // The text may hold '%' from a file or a YAML message: logged and carried as it is.
    KConfLog::ConfigLog.Warning("%s", text.c_str());
    const bool placed = !mark.is_null();
    throw KConfigLoadError(text, path, placed ? mark.line + 1 : 0, placed ? mark.column + 1 : 0);
}

// The passes AsyncReloadAll started. Never destroyed: a pass still running when static
// destructors run must not find it gone.
KThreadLifetimes& Passes()
{
    static KThreadLifetimes* const passes = new KThreadLifetimes(false);
    return *passes;
}

std::atomic<uint64_t> PassesOk {0};
std::atomic<uint64_t> PassesFailed {0};

// The last pass's end (seconds since 1970) and outcome, in one word so a reader never pairs
// one pass's time with another's outcome: seconds * 2 + ok; -1 before the first pass.
std::atomic<int64_t> LastPass {-1};

void CountPass(bool ok)
{
    (ok ? PassesOk : PassesFailed).fetch_add(1, std::memory_order_relaxed);
    LastPass.store(static_cast<int64_t>(std::time(nullptr)) * 2 + (ok ? 1 : 0), std::memory_order_relaxed);
}

void* ConfigReloadThread(void*)
{
    _NotifyThreadInit("Tools/TAVO/KConfigReloader", "ConfigReloadThread", __LINE__);
    // systemd shows the service reloading for the pass; READY=1 again whatever its end.
    const KSystemdNotifier& notifier = KSystemdNotifier::Process();
    notifier.Reloading();
    struct Ready {
        const KSystemdNotifier& Notifier;
        ~Ready() { Notifier.Reloaded(); }
    } ready{notifier};
    try {
        KConfLog::ConfigLog.Trace("Reloading configurations...");
        KConfigReloader::Reload(kstring());
        KConfLog::ConfigLog.Info("Configurations reloaded.");
        KConfigReloader::ReloadCallback callback;
        void* argument;
        {
            basekit::KLockGuard guard(KConfigReloader::Mutex);
            callback = Instance().callback;
            argument = Instance().argument;
        }
        if (callback)
            callback(argument);
    } catch (const std::exception& e) {
        KConfLog::ConfigLog.Warning("Configurations not reloaded properly. Cause: %s", e.what());
    } catch (...) {
        KConfLog::ConfigLog.Warning("Configurations not reloaded properly. Cause: Unexpected exception");
    }
    return nullptr;
}

// A reload message from the log server starts a reload pass.
const bool HandlerInstalled = (KLogManager::SetConfigReloadHandler(&KConfigReloader::AsyncReloadAll), true);

} // namespace

void KConfigReloader::Register(KReloadable* object)
{
    basekit::KLockGuard guard(Mutex);
    Instance().objects.push_back(object);
}

void KConfigReloader::Unregister(KReloadable* object)
{
    basekit::KLockGuard guard(Mutex);
    Instance().objects.remove(object);
}

void KConfigReloader::Reload(KReloadable& object, bool validateOnly)
{
    basekit::KLockGuard guard(Mutex);
    const char* file = object.FileName().c_str();
    const char* document = object.DocumentName().c_str();
    const kstring path = object.Path();
    // A parsed file takes several times its size in nodes, freed all over the heap: their pages
    // go back once the document is gone, also after a failed load (this runs last).
    struct ReturnMemory {
        ~ReturnMemory() { KHostSystem::ReturnFreedMemory(); }
    } returnMemory;
    try {
        std::ifstream stream(path);
        if (!stream)
            throw KTemplateException<KReloadable>("Could not open file[%s]", path.c_str());
        std::optional<YAML::Node> node = FindDocument(stream, object.DocumentName());
        if (node)
            Reload(object, validateOnly, *node);
        else if (object.MissingDocumentPolicy() == 1)
            Reload(object, validateOnly, YAML::Node());
        else
            throw KTemplateException<KReloadable>("Could not find document '%s' in file '%s.yaml'", document,
                                                  file);
    } catch (const YAML::Exception& e) {
        Fail(fstring("Failure loading configuration from file[%s.yaml:%s(%s)]msg[%s]", file, document,
                     FormatMark(e.mark).c_str(), e.msg.c_str()),
             path, e.mark);
    } catch (const std::exception& e) {
        Fail(fstring("%s(%s.yaml:%s)", e.what(), file, document), path, YAML::Mark::null_mark());
    }
}

void KConfigReloader::Reload(KReloadable& object, bool validateOnly, const YAML::Node& node)
{
    // Also taken here (recursively) so that a direct call keeps the clone's life and the
    // in-place load inside the lock.
    basekit::KLockGuard guard(Mutex);
    std::unique_ptr<KReloadable> clone = object.CloneForValidation();
    clone->LoadConfig(node);
    clone->AdditionalValidations();
    if (!validateOnly) {
        KMutedMessages muted; // the clone has reported the missing keys of this node
        object.LoadConfig(node);
    }
}

bool KConfigReloader::Reload(const kstring& fileName)
{
    basekit::KLockGuard guard(Mutex);
    const std::list<KReloadable*> objects = Instance().objects;
    bool loaded = true;
    try {
        for (KReloadable* object : objects) {
            if (!fileName.empty() && object->FileName() != fileName)
                continue;
            try {
                Reload(*object, false);
            } catch (const KTemplateException<KReloadable>&) {
                // already logged as a warning; one broken file does not stop the others
                loaded = false;
            }
        }
    } catch (...) {
        CountPass(false);
        throw;
    }
    CountPass(loaded);
    return loaded;
}

void KConfigReloader::Validate()
{
    basekit::KLockGuard guard(Mutex);
    const std::list<KReloadable*> objects = Instance().objects;
    for (KReloadable* object : objects) {
        try {
            Reload(*object, true);
        } catch (const YAML::Exception&) {
            throw;
        } catch (const KTemplateException<KReloadable>&) {
            throw;
        } catch (const std::exception& e) {
            throw KTemplateException<KReloadable>(fstring("Validate error: %s(file=%s.yaml:%s)", e.what(),
                                                          object->FileName().c_str(),
                                                          object->DocumentName().c_str()));
        }
    }
}

int KConfigReloader::AsyncReloadAll()
{
    // A thread that could not be started is reported instead of being lost without a trace.
    if (Passes().Start(KThreadLifetimes::Worker, [](KThreadLifetimes::Token&) { ConfigReloadThread(nullptr); }) !=
        KThreadLifetimes::Outcome::Started) {
        KConfLog::ConfigLog.Warning("Configurations not reloaded properly. Cause: %s",
                                    "the reload thread could not be started");
        CountPass(false);
        return 1;
    }
    return 0;
}

uint64_t KConfigReloader::ReloadsOk()
{
    return PassesOk.load(std::memory_order_relaxed);
}

uint64_t KConfigReloader::ReloadsFailed()
{
    return PassesFailed.load(std::memory_order_relaxed);
}

bool KConfigReloader::LastReload(long long& at, bool& ok)
{
    const int64_t last = LastPass.load(std::memory_order_relaxed);
    if (last < 0)
        return false;
    at = last / 2;
    ok = (last % 2) != 0;
    return true;
}

bool KConfigReloader::WaitAsyncReloads(unsigned ms)
{
    return Passes().WaitIdle(KThreadLifetimes::After(ms));
}

KConfigReloader::ReloadCallback KConfigReloader::SetReloadCallback(ReloadCallback callback, void* argument)
{
    basekit::KLockGuard guard(Mutex);
    ReloadCallback previous = Instance().callback;
    Instance().callback = callback;
    Instance().argument = argument;
    return previous;
}

void RequestConfigurationReload()
{
    if (KLogManager* manager = KLogManager::GetMe(false)) // none once logging has ended
        manager->RequestKConfigReload();
}

} // namespace config
