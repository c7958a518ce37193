#pragma once
// Recursive mutex objects and the scoped guard every lock in the system is taken through.

namespace basekit {

class KMutex {
public:
    virtual void Lock() = 0;
    virtual void Unlock() = 0;
    virtual ~KMutex() = default;
};

class KThreadMutex : public KMutex {
public:
    KThreadMutex();
    ~KThreadMutex() override;
    KThreadMutex(const KThreadMutex&) = delete;
    KThreadMutex& operator=(const KThreadMutex&) = delete;
    void Lock() override;
    void Unlock() override;

private:
    void* Handle;
};

// Holds a KMutex (or a KHostSystem local-mutex handle) for one scope; a null lock is a no-op.
class KLockGuard {
public:
    explicit KLockGuard(KMutex& mutex) : Mutex(&mutex) { Mutex->Lock(); }
    explicit KLockGuard(KMutex* mutex) : Mutex(mutex) { if (Mutex) Mutex->Lock(); }
    explicit KLockGuard(void* localMutexHandle);
    ~KLockGuard();
    KLockGuard(const KLockGuard&) = delete;
    KLockGuard& operator=(const KLockGuard&) = delete;

private:
    KMutex* Mutex = nullptr;
    void* Handle = nullptr;
};

} // namespace basekit
