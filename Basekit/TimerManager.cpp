#include "Basekit/TimerManager.h"

#include <cstdlib>
#include <exception>

#include "Basekit/KHostSystem.h"
#include "Basekit/KThreadMutex.h"

TimerManager* TimerManager::m_instance = nullptr;
void* TimerManager::m_mutex = nullptr;
void* TimerManager::m_shutDownEvent = nullptr;
void* TimerManager::m_timerThread_WaitTermination = nullptr;
void* TimerManager::m_timerThread = nullptr;
std::atomic<bool> TimerManager::m_bShuttingDown{false};
unsigned TimerManager::m_lastTick = 0;
bool TimerManager::m_flag = false;
TimerManager::TimerList TimerManager::m_timerList;
std::map<unsigned, TimerManager::TimerList::iterator> TimerManager::m_timerIdList;

namespace {

const unsigned kCheckPeriodMs = 25;
const unsigned kStopWaitMs = 1000;

// Serialises creation, start, stop and destruction of the manager.
basekit::KThreadMutex& LifeCycleMutex()
{
    static basekit::KThreadMutex mutex;
    return mutex;
}

TimerCell Probe(bool flag, unsigned expire)
{
    TimerCell cell;
    cell.flag = flag;
    cell.expire = expire;
    return cell;
}

} // namespace

TimerManager* TimerManager::instance()
{
    basekit::KLockGuard guard(LifeCycleMutex());
    if (!m_instance) {
        m_instance = new TimerManager;
        start();
    }
    return m_instance;
}

bool TimerManager::start()
{
    basekit::KLockGuard guard(LifeCycleMutex());
    if (m_mutex)
        return true;
    void* mutex = KHostSystem::CreateLocalMutex();
    void* shutDown = KHostSystem::CreateSystemEvent();
    void* termination = KHostSystem::CreateSystemEvent();
    auto release = [&] {
        KHostSystem::CloseSystemEvent(termination);
        KHostSystem::CloseSystemEvent(shutDown);
        KHostSystem::DeleteLocalMutex(mutex);
    };
    if (!mutex || !shutDown || !termination) {
        release();
        return false;
    }
    m_mutex = mutex;
    m_shutDownEvent = shutDown;
    m_timerThread_WaitTermination = termination;
    m_bShuttingDown = false;
    m_lastTick = KHostSystem::GetTick();
    m_timerThread = KHostSystem::StartThread(reinterpret_cast<void*>(&TimerManager::timerThreadStarter), termination);
    if (!m_timerThread) {
        m_mutex = nullptr;
        m_shutDownEvent = nullptr;
        m_timerThread_WaitTermination = nullptr;
        release();
        return false;
    }
    Log(klNotice, "TimerManager starting with tick=%u", KHostSystem::GetTick());
    return true;
}

bool TimerManager::stop()
{
    basekit::KLockGuard guard(LifeCycleMutex());
    if (m_bShuttingDown || !m_mutex)
        return false;
    m_bShuttingDown = true;
    KHostSystem::PulseSystemEvent(m_shutDownEvent);
    if (KHostSystem::WaitEvent(m_timerThread_WaitTermination, kStopWaitMs) != 0)
        return false;
    size_t remaining = 0;
    {
        basekit::KLockGuard lists(m_mutex);
        remaining = m_timerList.size();
        // A stopped manager runs nothing; a later start begins with no timers.
        m_timerList.clear();
        m_timerIdList.clear();
    }
    if (remaining > 0)
        Log(klNotice, "Timer manager stopped with %d timers.", static_cast<int>(remaining));
    KHostSystem::DeleteLocalMutex(m_mutex);
    KHostSystem::CloseSystemEvent(m_shutDownEvent);
    KHostSystem::CloseSystemEvent(m_timerThread_WaitTermination);
    KHostSystem::CloseThreadHandle(m_timerThread);
    m_mutex = nullptr;
    m_shutDownEvent = nullptr;
    m_timerThread_WaitTermination = nullptr;
    m_timerThread = nullptr;
    return true;
}

void TimerManager::destroy()
{
    basekit::KLockGuard guard(LifeCycleMutex());
    delete m_instance;
    m_instance = nullptr;
}

unsigned TimerManager::startTimer(unsigned ms, void* arg, void (*callback)(void*))
{
    if (m_bShuttingDown || !m_mutex)
        return 0;
    basekit::KLockGuard guard(m_mutex);
    const unsigned now = KHostSystem::GetTick();
    if (m_nextId == 0)
        m_nextId = 1;
    TimerCell cell;
    cell.id = m_nextId++;
    cell.expire = now + ms;
    cell.arg = arg;
    cell.callback = callback;
    // An expiry below the last tick seen lies beyond the next wrap of the tick.
    cell.flag = cell.expire < m_lastTick ? !m_flag : m_flag;
    m_timerIdList[cell.id] = m_timerList.insert(cell);
    return cell.id;
}

void* TimerManager::stopTimer(unsigned id)
{
    if (id == 0 || m_bShuttingDown || !m_mutex)
        return nullptr;
    basekit::KLockGuard guard(m_mutex);
    auto found = m_timerIdList.find(id);
    if (found == m_timerIdList.end())
        return nullptr;
    void* arg = found->second->arg;
    m_timerList.erase(found->second);
    m_timerIdList.erase(found);
    return arg;
}

void TimerManager::Log(KLogLevel level, const char* format, ...)
{
    // Created on first use and kept to the end of the process, so that timers running during
    // static destruction can still log.
    static KLogger* logger = new KLogger(klsTimer, -1, "TIMER", "basekit", 0x11, false);
    va_list args;
    va_start(args, format);
    logger->vLog(level, format, args);
    va_end(args);
}

TimerManager::TimerList::iterator TimerManager::runBegin(bool flag)
{
    return flag ? m_timerList.lower_bound(Probe(true, 0)) : m_timerList.begin();
}

TimerManager::TimerList::iterator TimerManager::runEnd(bool flag)
{
    return flag ? m_timerList.end() : m_timerList.lower_bound(Probe(true, 0));
}

void TimerManager::takeDue(unsigned now, std::vector<TimerCell>& due)
{
    auto take = [&due](TimerList::iterator cell) {
        due.push_back(*cell);
        auto entry = m_timerIdList.find(cell->id);
        if (entry != m_timerIdList.end() && entry->second == cell)
            m_timerIdList.erase(entry);
        return m_timerList.erase(cell);
    };
    // Cells of the epoch before a wrap that just happened: all of them are late by now.
    const bool before = !m_flag;
    for (auto cell = m_timerList.upper_bound(Probe(before, now)), end = runEnd(before); cell != end;)
        cell = take(cell);
    for (auto cell = runBegin(m_flag), end = runEnd(m_flag); cell != end && cell->expire <= now;)
        cell = take(cell);
}

void* TimerManager::timerThreadStarter(void* terminationEvent)
{
    _NotifyThreadInit("Basekit/TimerManager", "timerThreadStarter", 129);
    KHostSystem::ThreadSetPriority(nullptr, 3, 1);
    try {
        timerThread(terminationEvent);
    } catch (...) {
        Log(klError, "Unrecoverable exception on timer thread, exiting ...");
        exit(0);
    }
    return nullptr;
}

void TimerManager::timerThread(void* terminationEvent)
{
    std::vector<TimerCell> due;
    for (;;) {
        KHostSystem::WaitEvent(m_shutDownEvent, kCheckPeriodMs);
        if (m_bShuttingDown)
            break;
        due.clear();
        {
            basekit::KLockGuard guard(m_mutex);
            const unsigned now = KHostSystem::GetTick();
            if (now < m_lastTick) {
                m_flag = !m_flag;
                Log(klInfo, "TimerManager flag inversion. now(%u) < last(%u).", now, m_lastTick);
            }
            m_lastTick = now;
            takeDue(now, due);
        }
        for (const TimerCell& cell : due) {
            try {
                if (cell.callback)
                    cell.callback(cell.arg);
            } catch (const std::exception& e) {
                Log(klError, "TimerManager callback exception: %s", e.what());
            } catch (...) {
                Log(klError, "TimerManager callback unknown error.");
            }
        }
    }
    KHostSystem::PulseSystemEvent(terminationEvent);
}
