#include "Basekit/KHostSystem.h"

#include <atomic>
#include <cctype>
#include <cstdarg>
#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <malloc.h>
#include <pthread.h>
#include <sched.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

const unsigned kInfinite = 4294967295u;

std::atomic<unsigned (*)()> tickSource{nullptr};
std::atomic<KHostSystem::ThreadReportHandler> threadReport{nullptr};

unsigned MonotonicTick()
{
    timespec now{};
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
        return 0;
    // Truncation to 32 bits is the tick's wrap.
    return static_cast<unsigned>(static_cast<unsigned long long>(now.tv_sec) * 1000u +
                                 static_cast<unsigned long long>(now.tv_nsec) / 1000000u);
}

// Semaphores and events wait on condition variables bound to the monotonic clock, so that a
// step of the wall clock (the host's time is set while the daemon runs) neither stretches nor
// cuts a wait.
bool MakeMonotonicCondition(pthread_cond_t* condition)
{
    pthread_condattr_t attr;
    if (pthread_condattr_init(&attr) != 0)
        return false;
    bool ok = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC) == 0 &&
              pthread_cond_init(condition, &attr) == 0;
    pthread_condattr_destroy(&attr);
    return ok;
}

bool MakeRecursiveMutex(pthread_mutex_t* mutex)
{
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0)
        return false;
    bool ok = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
              pthread_mutex_init(mutex, &attr) == 0;
    pthread_mutexattr_destroy(&attr);
    return ok;
}

timespec DeadlineAfter(unsigned ms)
{
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    KHostSystem::AddMilisecToTime(&deadline, ms);
    return deadline;
}

// Holds a record's pthread mutex for one scope.
class RecordLock {
public:
    explicit RecordLock(pthread_mutex_t* mutex) : Mutex(mutex) { pthread_mutex_lock(Mutex); }
    ~RecordLock() { pthread_mutex_unlock(Mutex); }
    RecordLock(const RecordLock&) = delete;
    RecordLock& operator=(const RecordLock&) = delete;

private:
    pthread_mutex_t* Mutex;
};

struct Semaphore {
    pthread_mutex_t mutex;
    pthread_cond_t condition;
    long long count;   // guarded by mutex
    long long maximum;
};

struct Event {
    bool signalled = false;      // guarded by mutex
    unsigned long long pulses = 0; // guarded by mutex; lets a pulse wake every current waiter
    pthread_mutex_t mutex;
    pthread_cond_t condition;
};

// Levels 0..5 onto the policy's priority range, the inverse of KThread::GetPriority's bands.
int PriorityForLevel(int policy, int level)
{
    int minimum = sched_get_priority_min(policy);
    int maximum = sched_get_priority_max(policy);
    if (minimum < 0 || maximum < 0)
        return 0;
    int priority = minimum;
    switch (level) {
    case 5: priority = maximum; break;
    case 4: priority = (2 * maximum + 2) / 3; break;
    case 3: priority = (maximum + 1) / 2; break;
    case 2: priority = (maximum + 2) / 3; break;
    default: break;
    }
    return priority < minimum ? minimum : priority;
}

std::atomic<bool> defaultPolicyReported{false};

int CreateWithPolicy(pthread_t* thread, KThreadRoutine routine, void* arg, int policy)
{
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0)
        return rc;
    rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (rc == 0 && policy != SCHED_OTHER) {
        sched_param param{};
        param.sched_priority = 1;
        rc = pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
        if (rc == 0)
            rc = pthread_attr_setschedpolicy(&attr, policy);
        if (rc == 0)
            rc = pthread_attr_setschedparam(&attr, &param);
    }
    if (rc == 0)
        rc = pthread_create(thread, &attr, routine, arg);
    pthread_attr_destroy(&attr);
    return rc;
}

} // namespace

bool KHostSystem::StartDetachedThread(KThreadRoutine routine, void* arg, int policy, unsigned long* id)
{
    if (!routine)
        return false;
    pthread_t thread{};
    int rc = CreateWithPolicy(&thread, routine, arg, policy);
    if ((rc == EPERM || rc == EINVAL) && policy != SCHED_OTHER) {
        // Real-time scheduling needs CAP_SYS_NICE or an RT budget; a service that cannot have
        // it still works, only with less predictable latency.
        if (!defaultPolicyReported.exchange(true))
            ReportThread(klWarning,
                         "Unable to start thread using scheduler %d: (%d) %s, creating with default "
                         "scheduler",
                         policy, rc, strerror(rc));
        rc = CreateWithPolicy(&thread, routine, arg, SCHED_OTHER);
    }
    if (rc != 0)
        return false;
    if (id)
        *id = static_cast<unsigned long>(thread);
    return true;
}

void KHostSystem::UseOneHeapArena()
{
    mallopt(M_ARENA_MAX, 1);
}

void KHostSystem::ReturnFreedMemory()
{
    malloc_trim(0);
}

void* KHostSystem::StartThread(void* routine, void* arg, int)
{
    unsigned long id = 0;
    if (!StartDetachedThread(reinterpret_cast<KThreadRoutine>(routine), arg, SCHED_FIFO, &id))
        return nullptr;
    return reinterpret_cast<void*>(id);
}

void KHostSystem::CloseThreadHandle(void*) {}

bool KHostSystem::ThreadSetPriority(void* handle, int level, int)
{
    pthread_t thread = handle ? reinterpret_cast<pthread_t>(handle) : pthread_self();
    int policy = SCHED_OTHER;
    sched_param param{};
    if (pthread_getschedparam(thread, &policy, &param) != 0)
        return false;
    param.sched_priority = PriorityForLevel(policy, level);
    return pthread_setschedparam(thread, policy, &param) == 0;
}

void* KHostSystem::CreateLocalMutex()
{
    auto* mutex = new pthread_mutex_t;
    if (!MakeRecursiveMutex(mutex)) {
        delete mutex;
        return nullptr;
    }
    return mutex;
}

void KHostSystem::EnterLocalMutex(void* mutex)
{
    if (mutex)
        pthread_mutex_lock(static_cast<pthread_mutex_t*>(mutex));
}

void KHostSystem::LeaveLocalMutex(void* mutex)
{
    if (mutex)
        pthread_mutex_unlock(static_cast<pthread_mutex_t*>(mutex));
}

void KHostSystem::DeleteLocalMutex(void* mutex)
{
    if (!mutex)
        return;
    pthread_mutex_destroy(static_cast<pthread_mutex_t*>(mutex));
    delete static_cast<pthread_mutex_t*>(mutex);
}

void* KHostSystem::CreateCountSemaphore(int initial, int maximum, const char*)
{
    auto* semaphore = new Semaphore;
    if (!MakeRecursiveMutex(&semaphore->mutex)) {
        delete semaphore;
        return nullptr;
    }
    if (!MakeMonotonicCondition(&semaphore->condition)) {
        pthread_mutex_destroy(&semaphore->mutex);
        delete semaphore;
        return nullptr;
    }
    semaphore->maximum = maximum;
    semaphore->count = initial > maximum ? maximum : initial;
    return semaphore;
}

int KHostSystem::WaitOnSemaphore(void* handle, unsigned ms)
{
    auto* semaphore = static_cast<Semaphore*>(handle);
    if (!semaphore)
        return 1;
    timespec deadline = DeadlineAfter(ms == kInfinite ? 0 : ms);
    RecordLock lock(&semaphore->mutex);
    while (semaphore->count <= 0) {
        int rc = ms == kInfinite ? pthread_cond_wait(&semaphore->condition, &semaphore->mutex)
                                 : pthread_cond_timedwait(&semaphore->condition, &semaphore->mutex, &deadline);
        if (rc != 0 && rc != EINTR)
            return 1;
    }
    --semaphore->count;
    return 0;
}

bool KHostSystem::ReleaseSemaphore(void* handle, int count)
{
    auto* semaphore = static_cast<Semaphore*>(handle);
    if (!semaphore || count < 0)
        return false;
    RecordLock lock(&semaphore->mutex);
    semaphore->count += count;
    if (semaphore->count > semaphore->maximum)
        semaphore->count = semaphore->maximum;
    pthread_cond_broadcast(&semaphore->condition);
    return true;
}

void KHostSystem::DeleteSemaphore(void* handle)
{
    auto* semaphore = static_cast<Semaphore*>(handle);
    if (!semaphore)
        return;
    pthread_cond_destroy(&semaphore->condition);
    pthread_mutex_destroy(&semaphore->mutex);
    delete semaphore;
}

void* KHostSystem::CreateSystemEvent(const char*)
{
    auto* event = new Event;
    if (!MakeRecursiveMutex(&event->mutex)) {
        delete event;
        return nullptr;
    }
    if (!MakeMonotonicCondition(&event->condition)) {
        pthread_mutex_destroy(&event->mutex);
        delete event;
        return nullptr;
    }
    return event;
}

int KHostSystem::WaitEvent(void* handle, unsigned ms)
{
    auto* event = static_cast<Event*>(handle);
    if (!event)
        return 1;
    timespec deadline = DeadlineAfter(ms == kInfinite ? 0 : ms);
    RecordLock lock(&event->mutex);
    if (event->signalled) {
        event->signalled = false;
        return 0;
    }
    // Woken by the pulse counter, not the flag: an earlier waiter clearing the flag must not
    // send the others back to sleep.
    const unsigned long long seen = event->pulses;
    while (event->pulses == seen) {
        int rc = ms == kInfinite ? pthread_cond_wait(&event->condition, &event->mutex)
                                 : pthread_cond_timedwait(&event->condition, &event->mutex, &deadline);
        if (rc == ETIMEDOUT)
            return event->pulses == seen ? 2 : 0;
        if (rc != 0 && rc != EINTR)
            return 1;
    }
    event->signalled = false;
    return 0;
}

void KHostSystem::PulseSystemEvent(void* handle)
{
    auto* event = static_cast<Event*>(handle);
    if (!event)
        return;
    RecordLock lock(&event->mutex);
    if (event->signalled)
        return;
    event->signalled = true;
    ++event->pulses;
    pthread_cond_broadcast(&event->condition);
}

int KHostSystem::CloseSystemEvent(void* handle)
{
    auto* event = static_cast<Event*>(handle);
    if (!event)
        return 1;
    pthread_cond_destroy(&event->condition);
    pthread_mutex_destroy(&event->mutex);
    delete event;
    return 0;
}

unsigned KHostSystem::GetTick()
{
    unsigned (*source)() = tickSource.load();
    return source ? source() : MonotonicTick();
}

void KHostSystem::SetTickSource(unsigned (*source)())
{
    tickSource.store(source);
}

unsigned KHostSystem::diffTime(unsigned start, unsigned end)
{
    // Across a wrap the distance is counted up to GetTickMaxCount(), not to 2^32: one less
    // than the modular difference. Callers' timeouts have always been measured this way.
    if (end < start)
        return end - start + GetTickMaxCount();
    return end - start;
}

unsigned KHostSystem::diffTime(unsigned start)
{
    return diffTime(start, GetTick());
}

void KHostSystem::AddMilisecToTime(timespec* time, unsigned ms)
{
    if (!time)
        return;
    time->tv_sec += ms / 1000;
    time->tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (time->tv_nsec > 999999999L) {
        time->tv_sec += time->tv_nsec / 1000000000L;
        time->tv_nsec %= 1000000000L;
    }
}

void KHostSystem::Delay(unsigned ms)
{
    timespec remaining{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

void KHostSystem::PrecisionDelay(unsigned ms)
{
    Delay(ms);
}

void KHostSystem::GetTime(KSystemTime* time)
{
    if (!time)
        return;
    timeval now{};
    gettimeofday(&now, nullptr);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    time->year = static_cast<uint16_t>(local.tm_year + 1900);
    time->month = static_cast<uint8_t>(local.tm_mon + 1);
    time->day = static_cast<uint8_t>(local.tm_mday);
    time->hour = static_cast<uint8_t>(local.tm_hour);
    time->minute = static_cast<uint8_t>(local.tm_min);
    time->second = static_cast<uint8_t>(local.tm_sec);
    time->millisecond = static_cast<uint16_t>(now.tv_usec / 1000);
}

long KHostSystem::GetSecondsSinceEpoch(int& offset)
{
    timeval now{};
    struct timezone zone{};
    gettimeofday(&now, &zone);
    offset = zone.tz_minuteswest * 60;
    return static_cast<long>(now.tv_sec);
}

int KHostSystem::GetCurrentProcId()
{
    return static_cast<int>(getpid());
}

bool KHostSystem::GetExeName(char* buffer, int size, bool fullPath)
{
    if (!buffer || size <= 0)
        return false;
    char link[64];
    snprintf(link, sizeof(link), "/proc/%i/exe", static_cast<int>(getpid()));
    char path[PATH_MAX];
    ssize_t length = readlink(link, path, sizeof(path) - 1);
    if (length <= 0)
        return false;
    path[length] = '\0';
    if (path[length - 1] == '/')
        return false;
    const char* name = path;
    if (!fullPath) {
        const char* slash = strrchr(path, '/');
        if (slash)
            name = slash + 1;
    }
    snprintf(buffer, static_cast<size_t>(size), "%s", name);
    return true;
}

const char* KHostSystem::GetWorkDirectory()
{
    static const char directory[] = "/etc/varnel/";
    return directory;
}

bool KHostSystem::MakeDirectory(const char* path, unsigned mode)
{
    if (!path || !*path)
        return true;
    std::string full(path);
    for (char& c : full)
        if (c == '\\')
            c = '/';
    // Each prefix ending before a separator, then the whole path.
    for (size_t end = 1; end <= full.size(); ++end) {
        if (end < full.size() && full[end] != '/')
            continue;
        if (full[end - 1] == '/')
            continue;
        std::string prefix = full.substr(0, end);
        if (mkdir(prefix.c_str(), static_cast<mode_t>(mode)) == 0)
            continue;
        if (errno != EEXIST)
            return true;
        struct stat info{};
        if (stat(prefix.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
            return true;
    }
    return false;
}

void* KHostSystem::FindFirst(const char* dir, const char* extension, char* name, int* result)
{
    DIR* handle = dir ? opendir(dir) : nullptr;
    int found = FindNext(handle, extension, name);
    if (result)
        *result = found;
    return handle;
}

int KHostSystem::FindNext(void* handle, const char* extension, char* name)
{
    DIR* dir = static_cast<DIR*>(handle);
    if (!dir)
        return 6;
    while (dirent* entry = readdir(dir)) {
        if (extension && *extension && !ExtensionCompare(entry->d_name, extension))
            continue;
        if (name)
            strcpy(name, entry->d_name); // d_name is at most NAME_MAX bytes
        return 0;
    }
    return 6;
}

void KHostSystem::FindClose(void* handle)
{
    if (handle)
        closedir(static_cast<DIR*>(handle));
}

bool KHostSystem::ExtensionCompare(const char* name, const char* extension)
{
    if (!name || !extension)
        return false;
    if (strcmp(extension, "*") == 0)
        return true;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
        return false;
    const char* dot = strrchr(name, '.');
    return dot && strcasecmp(dot + 1, extension) == 0;
}

char* KHostSystem::ReadLine(char* buffer, int size, FILE* file)
{
    if (!buffer || size <= 0 || !file || !fgets(buffer, size, file))
        return nullptr;
    size_t length = strlen(buffer);
    if (length >= 2 && buffer[length - 2] == '\r' && buffer[length - 1] == '\n') {
        buffer[length - 2] = '\n';
        buffer[length - 1] = '\0';
    }
    return buffer;
}

char* KHostSystem::StrTrim(char* text)
{
    if (!text)
        return text;
    size_t start = 0;
    while (text[start] && isspace(static_cast<unsigned char>(text[start])))
        ++start;
    size_t end = strlen(text);
    while (end > start && isspace(static_cast<unsigned char>(text[end - 1])))
        --end;
    memmove(text, text + start, end - start);
    text[end - start] = '\0';
    return text;
}

int KHostSystem::StriCmp(const char* a, const char* b)
{
    return strcasecmp(a ? a : "", b ? b : "");
}

void KHostSystem::SetThreadReportHandler(ThreadReportHandler handler)
{
    threadReport = handler;
}

void KHostSystem::ReportThread(KLogLevel level, const char* format, ...)
{
    ThreadReportHandler handler = threadReport;
    if (!handler)
        return;
    kstring text;
    va_list args;
    va_start(args, format);
    text.vFormat(format, args);
    va_end(args);
    handler(level, text.c_str());
}

void _NotifyThreadInit(const char* file, const char* function, int line)
{
    KHostSystem::ReportThread(klNotice, "Thread started at file %s function %s line %d", file, function, line);
}
