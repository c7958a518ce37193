#pragma once
// The one record of which threads may still touch their owner (a server, the address poller,
// the configuration reloader, a KThread, the log manager's and the remote log client's
// threads): every thread started here holds a token for its whole life, and
// the token's end counts it out and wakes whoever waits for the owner to become idle. Waits
// are on the monotonic clock, so a step of the host's clock neither stretches nor cuts them.
// Also the running flag a server's threads poll and the shared start of its server threads.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <vector>

class KThreadLifetimes {
public:
    using Clock = std::chrono::steady_clock;
    using Deadline = Clock::time_point;

    // What a thread is counted as. An owner uses the kinds it needs; a thread can change its
    // kind (a transfer that has begun is no longer only starting).
    enum Kind : unsigned { Server = 0, Worker = 1, Starting = 2 };
    static const unsigned KindCount = 3;

    // Held by a running thread; its destruction is the thread's last use of the owner.
    class Token {
    public:
        Token() = default;
        Token(Token&& other) noexcept;
        Token& operator=(Token&& other) noexcept;
        Token(const Token&) = delete;
        Token& operator=(const Token&) = delete;
        ~Token();

        // Counts the thread as another kind from now on (no idle moment in between).
        void Become(Kind kind);
        // Counts the thread out now; the token is empty afterwards.
        void Release();
        bool Held() const { return Owner != nullptr; }

    private:
        friend class KThreadLifetimes;
        Token(KThreadLifetimes* owner, Kind kind) : Owner(owner), Counted(kind) {}
        KThreadLifetimes* Owner = nullptr;
        Kind Counted = Server;
    };

    // A thread's work; the token stays counted until it returns (and a little after).
    using Body = std::function<void(Token&)>;
    enum class Outcome { Started, Full, Failed };

    // realTime: threads ask for SCHED_FIFO (the servers); otherwise the default policy.
    explicit KThreadLifetimes(bool realTime = true);
    // Stops and waits (at most 30 s) for the threads; owners wait themselves first, as their
    // threads use the owner's members and virtual functions.
    ~KThreadLifetimes();
    KThreadLifetimes(const KThreadLifetimes&) = delete;
    KThreadLifetimes& operator=(const KThreadLifetimes&) = delete;

    static Deadline After(unsigned ms) { return Clock::now() + std::chrono::milliseconds(ms); }

    // A server's start: sets the running flag and starts one detached Server thread per body.
    // 0 started; 1 already running, or a thread could not be started (then, after a 250 ms
    // pause, the flag is cleared again and the threads already started end by themselves).
    int StartServers(std::vector<Body> bodies);
    // Clears the running flag and wakes WaitUntil: 0 if it was set, 1 if not. Does not wait.
    int Stop();
    bool IsRunning() const { return Running; }

    // Starts one detached thread counted as kind from now on; Full (nothing started) when limit
    // threads of that kind are counted already.
    Outcome Start(Kind kind, Body body, unsigned limit = ~0u);
    // For an owner whose start cannot fail half-way (a singleton thread): a token of kind.
    Token Acquire(Kind kind);

    int Count(Kind kind);
    int Count(std::initializer_list<Kind> kinds);
    // Waits until no thread of the kinds is counted; false when the deadline came first.
    bool WaitIdle(Deadline deadline, std::initializer_list<Kind> kinds = {Server, Worker, Starting});
    // Waits until done() (called under the internal lock) is true; false at the deadline.
    // Whoever makes it true calls Notify afterwards.
    bool WaitUntil(Deadline deadline, const std::function<bool()>& done);
    void Notify();

private:
    struct Launch;
    static void* Run(void* launch);
    bool StartLocked(Kind kind, Body& body);
    int CountLocked(std::initializer_list<Kind> kinds) const;
    void CountOut(Kind kind);
    void Move(Kind from, Kind to);

    const bool RealTime;
    std::atomic<bool> Running{false};
    std::mutex Mutex;
    std::condition_variable Changed; // steady_clock waits: pthread_cond_clockwait on CLOCK_MONOTONIC
    int Counts[KindCount] = {};      // Mutex
};
