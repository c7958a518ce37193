#pragma once
// The toolkit's thin layer over the operating system: threads, recursive mutexes,
// counting semaphores, events, millisecond ticks, calendar time, directory scans.
#include <cstdio>
#include <ctime>
#include <cstdint>

#include "Basekit/KLogLevel.h"
#include "Basekit/kstring.h"

namespace basekit {
namespace time {

// Local calendar time.
struct KSystemTime {
    uint16_t year = 0;
    uint8_t month = 0;
    uint8_t day = 0;
    uint8_t dayOfWeek = 0; // 0 is Sunday; filled by Now(), not by KHostSystem::GetTime
    uint8_t hour = 0;
    uint8_t minute = 0;
    uint8_t second = 0;
    uint16_t millisecond = 0;
};

} // namespace time
} // namespace basekit

using basekit::time::KSystemTime;

typedef void* (*KThreadRoutine)(void*);

class KHostSystem {
public:
    // Detached thread, explicit scheduling SCHED_FIFO priority 1; where the kernel
    // refuses real-time scheduling the thread is started with the default policy.
    // Returns the thread id as a handle, or nullptr when no thread could be started.
    // One heap arena for the whole process. The C library gives threads arenas of their own
    // (up to eight per core), and the pages a burst of transfer threads touched stay in them
    // after the burst; these threads allocate only when they start and end, so sharing one
    // arena costs nothing measurable and idle memory returns to where it was.
    static void UseOneHeapArena();
    // Gives the pages of freed heap memory back to the system, also those between chunks
    // still in use, which the C library keeps otherwise. For after a large transient
    // allocation (a parsed configuration file), not for hot paths: it walks the heap.
    static void ReturnFreedMemory();
    static void* StartThread(void* routine, void* arg, int priority = 0);
    // Starts a detached thread. A policy other than SCHED_OTHER asks for explicit scheduling
    // with that policy at priority 1; when the kernel refuses it the thread gets the default
    // policy (said once per process in the running log). id receives the thread id.
    static bool StartDetachedThread(KThreadRoutine routine, void* arg, int policy, unsigned long* id);
    static void CloseThreadHandle(void* handle);
    // Sets the calling (handle == nullptr) or given thread's priority level 0..5.
    static bool ThreadSetPriority(void* handle, int level, int unused = 1);

    static void* CreateLocalMutex();
    static void EnterLocalMutex(void* mutex);
    static void LeaveLocalMutex(void* mutex);
    static void DeleteLocalMutex(void* mutex);

    static void* CreateCountSemaphore(int initial, int maximum, const char* name = nullptr);
    static int WaitOnSemaphore(void* semaphore, unsigned ms); // 0 acquired, 1 time-out or error
    static bool ReleaseSemaphore(void* semaphore, int count = 1);
    static void DeleteSemaphore(void* semaphore);

    static void* CreateSystemEvent(const char* name = nullptr);
    static int WaitEvent(void* event, unsigned ms); // 0 woken, 2 time-out, 1 error
    static void PulseSystemEvent(void* event);
    static int CloseSystemEvent(void* event);

    static unsigned GetTick();
    // Replaces the millisecond tick (tests drive wraps and long intervals with it);
    // nullptr restores the monotonic clock.
    static void SetTickSource(unsigned (*source)());
    static unsigned GetTickMaxCount() { return 4294967295u; }
    static unsigned diffTime(unsigned start, unsigned end);
    static unsigned diffTime(unsigned start);
    static void AddMilisecToTime(timespec* time, unsigned ms);
    static void Delay(unsigned ms);
    static void PrecisionDelay(unsigned ms);

    static void GetTime(KSystemTime* time);
    static long GetSecondsSinceEpoch(int& offset);
    static int GetCurrentProcId();
    static bool GetExeName(char* buffer, int size, bool fullPath);
    static const char* GetWorkDirectory(); // "/etc/varnel/"

    // Missing levels are created with mode (less the umask); true on failure.
    static bool MakeDirectory(const char* path, unsigned mode = 0777);
    static void* FindFirst(const char* dir, const char* extension, char* name, int* result);
    static int FindNext(void* handle, const char* extension, char* name); // 0 found, 6 none
    static void FindClose(void* handle);
    static bool ExtensionCompare(const char* name, const char* extension);

    // Where thread life-cycle lines go: the loggers install the running log on their first
    // use; before that the lines are dropped. The text is complete, not a format.
    typedef void (*ThreadReportHandler)(KLogLevel level, const char* text);
    static void SetThreadReportHandler(ThreadReportHandler handler);
    static void ReportThread(KLogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

    static char* ReadLine(char* buffer, int size, FILE* file);
    static char* StrTrim(char* text);
    static int StriCmp(const char* a, const char* b);
};

// Every thread routine calls this first: a running-log Notice naming where it started.
void _NotifyThreadInit(const char* file, const char* function, int line);

namespace basekit {

namespace time {
unsigned UnixTime();
KSystemTime Now();
// The local calendar time of a moment given in seconds since 1970 and milliseconds.
KSystemTime Local(time_t seconds, unsigned millisecond);
kstring Format(const char* pattern);
kstring Format(const KSystemTime& time, const char* pattern);
kstring Format(unsigned seconds, const char* pattern);
unsigned GetTick();
void Delay(unsigned ms);
} // namespace time

namespace file {
bool Exists(const kstring& path);
kstring FullPath(const kstring& path);
kstring UniquifyFilename(const kstring& path);
// Identity and version of a file (device, inode, size, change times), to tell whether it
// changed since it was last read; empty when it cannot be examined.
std::string Stamp(const std::string& path);
} // namespace file

} // namespace basekit
