#pragma once
// The per-class configuration singleton through which the servers reach the current settings.
#include "Basekit/KThreadMutex.h"
#include "Tools/TAVO/KConfigReloader.h"

namespace config {

template <class T, int N>
class KConfig {
public:
    // Creates and loads the object on first use; with reload, loads it again from its file.
    // An exception from the load reaches the caller; the object stays created.
    // A reload changes the object's fields in place: read them through a copy taken under
    // KConfigReloader::Mutex (the classes' Copy()), never in place.
    static T* instance(bool reload = false)
    {
        basekit::KLockGuard guard(mutex);
        if (!object) {
            object = new T(); // lives until the process ends
            KConfigReloader::Reload(*object, false);
        } else if (reload) {
            KConfigReloader::Reload(*object, false);
        }
        return object;
    }

    static basekit::KThreadMutex mutex;
    static T* object;
};

template <class T, int N>
basekit::KThreadMutex KConfig<T, N>::mutex;
template <class T, int N>
T* KConfig<T, N>::object = nullptr;

} // namespace config
