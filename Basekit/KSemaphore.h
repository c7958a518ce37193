#pragma once
// A counting semaphore object over the host layer's local semaphore.
#include "Basekit/kstring.h"

namespace basekit {

class KSemaphore {
public:
    // A local semaphore with count 0 that never counts above maximum.
    explicit KSemaphore(unsigned maximum);
    virtual ~KSemaphore();
    KSemaphore(const KSemaphore&) = delete;
    KSemaphore& operator=(const KSemaphore&) = delete;

    // True when a count was taken within ms (4294967295 waits forever).
    virtual bool Wait(unsigned ms);
    // Adds one, up to the maximum.
    virtual bool Release();

    const kstring& GetName() const { return Name; }
    bool IsNamed() const { return Named; }
    unsigned GetMaximum() const { return Maximum; }

private:
    kstring Name;
    bool Named = false; // system-wide semaphores by name are not needed by this system
    unsigned Maximum;
    void* Handle;
};

} // namespace basekit
