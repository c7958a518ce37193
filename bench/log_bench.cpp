// Logging throughput: Info lines to tavo.log (with the messages.log copy), lazily flushed
// Trace lines to a file kept open, one and eight threads, the cost of a filtered-out Trace
// call, and the same lines through plain fprintf + fflush for comparison.
// Writes /etc/varnel and /var/log/varnel: run it in the sandbox,
//   tests/support/sandbox_run build/log_bench
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Basekit/KLogger.h"

namespace {

const bool Sandboxed = [] {
    const char* flag = getenv("TAVO_SANDBOXED");
    if (!flag || std::string(flag) != "1") {
        fprintf(stderr, "run through tests/support/sandbox_run: the benchmark writes /etc/varnel and /var/log/varnel\n");
        exit(2);
    }
    FILE* cfg = fopen("/etc/varnel/config/klog.cfg", "w");
    if (cfg) {
        fputs("[TAVO]\nValue=true\nTFTP=true\n", cfg);
        fclose(cfg);
    }
    return true;
}();

KLogger Info(klsTAVO, kloTavoBOOTP, "BOOTP", "tavo", 0x10, false);
KLogger LazyTrace(klsTAVO, kloTavoTFTP, "TFTP", "trace", 0x10, true);
KLogger Filtered(klsTAVO, kloTavoGeneral, "General", "tavo", 0x10, false);

double Seconds(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

template <typename Body>
double LinesPerSecond(int threads, int linesPerThread, Body body)
{
    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            for (int i = 0; i < linesPerThread; ++i)
                body(t, i);
        });
    for (std::thread& worker : workers)
        worker.join();
    return threads * linesPerThread / Seconds(start);
}

// The same line as the logger writes, built and written by hand.
void PlainLine(FILE* file, int t, int i)
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    tm local;
    localtime_r(&now.tv_sec, &local);
    fprintf(file, "I|%02d/%02d/%04d %02d:%02d:%02d.%03d|%-8s| board %d request %d from 192.0.2.%d\n", local.tm_mday,
            local.tm_mon + 1, local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec,
            static_cast<int>(now.tv_nsec / 1000000), "BOOTP", t, i, 50 + i % 200);
    fflush(file);
}

} // namespace

int main(int argc, char** argv)
{
    (void)Sandboxed;
    const int lines = argc > 1 ? atoi(argv[1]) : 100000;
    printf("%d lines per run\n", lines);

    for (int threads : {1, 8}) {
        int each = lines / threads;
        double info = LinesPerSecond(threads, each, [](int t, int i) {
            Info.Info("board %d request %d from 192.0.2.%d", t, i, 50 + i % 200);
        });
        double trace = LinesPerSecond(threads, each, [](int t, int i) {
            LazyTrace.Trace("board %d request %d from 192.0.2.%d", t, i, 50 + i % 200);
        });
        FILE* plain = fopen("/var/log/varnel/plain.log", "a");
        std::mutex plainLock;
        double reference = LinesPerSecond(threads, each, [&](int t, int i) {
            std::lock_guard<std::mutex> lock(plainLock);
            PlainLine(plain, t, i);
        });
        fclose(plain);
        printf("%d thread(s): Info+messages %.0f lines/s, lazy Trace %.0f lines/s, fprintf+fflush %.0f lines/s "
               "(Info/plain %.2f, Trace/plain %.2f)\n",
               threads, info, trace, reference, info / reference, trace / reference);
    }

    const int calls = lines * 20;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; ++i)
        Filtered.Trace("board %d request %d from 192.0.2.%d", i, i, i % 200);
    printf("filtered-out Trace: %.1f ns per call\n", Seconds(start) * 1e9 / calls);
    return 0;
}
