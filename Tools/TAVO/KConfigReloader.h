#pragma once
// Loads configuration objects from their files (validated on a throw-away clone first)
// and reloads every registered object on request.
#include <cstdint>
#include <list>

#include "Basekit/KThreadMutex.h"
#include "Tools/TAVO/KReloadable.h"

namespace config {

class KConfigReloader {
public:
    // Serialises every single load. Readers that need a consistent view of a configuration
    // object copy its fields while holding it (see TAVOCfg::Copy, TAVODevs::Copy).
    static basekit::KThreadMutex Mutex;

    static void Reload(KReloadable& object, bool validateOnly);
    static void Reload(KReloadable& object, bool validateOnly, const YAML::Node& node);
    // A reload pass over the registered objects (all of them, or those of one file): false
    // when one of them failed to load. Every pass counts as ok or failed.
    static bool Reload(const kstring& fileName);
    static void Validate();
    static int AsyncReloadAll();
    // Waits up to ms for the passes AsyncReloadAll started to end; false if one still runs.
    // The stop path calls it so that no pass runs on into the process's exit.
    static bool WaitAsyncReloads(unsigned ms);
    typedef void (*ReloadCallback)(void*);
    static ReloadCallback SetReloadCallback(ReloadCallback callback, void* argument);

    // Passes that loaded every object, and those that did not (or whose thread did not start).
    static uint64_t ReloadsOk();
    static uint64_t ReloadsFailed();
    // When the last pass ended (seconds since 1970) and whether it loaded every object; false
    // before the first pass.
    static bool LastReload(long long& at, bool& ok);

    static void Register(KReloadable* object);
    static void Unregister(KReloadable* object);
};

void RequestConfigurationReload();

} // namespace config
