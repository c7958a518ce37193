#pragma once
// Decides per log source and option bit whether Trace lines are written, and holds the log
// file size limits. Loaded from klog.cfg; replaced by filters from the log server.
#include <atomic>
#include <cstdint>

#include "Basekit/KLogContext.h"
#include "Basekit/KLogLevel.h"
#include "Basekit/KLogSource.h"
#include "Basekit/LM7/Basics/KSerializable.h"

const unsigned long long KLOG_DEFAULT_MAX_FILE_SIZE = 104857600ull;
const unsigned long long KLOG_DEFAULT_MAX_TOTAL_LOG_SIZE = 10737418240ull;

class KLogFilter : public basekit::KSerializable {
public:
    static const int Entries = 29; // sources 0 to 28
    typedef void (*Callback)(bool remote);

    // reports: where loading and callback errors are told (the log manager's internal log);
    // nullptr keeps them quiet. It outlives the filter.
    explicit KLogFilter(KLogContext* reports = nullptr);

    // Reads klog.cfg (sizes, FullLog, one section per source); runs the callback.
    void LoadConfig();
    // Loads one source's section; names is its option-name table ending with "".
    void SetOption(KLogSource source, const char** names);
    bool IsActive(KLogLevel level, KLogSource source, unsigned option) const;
    void InvokeFilterCallback(bool remote);
    // Reads or writes the filter's wire form; the serialiser tells the direction.
    void Serialize(basekit::KSerializer& serializer) override;
    // Takes every setting of another filter (not its callback).
    void CopyFrom(const KLogFilter& other);

    void SetCallback(Callback callback) { FilterCallback = callback; }
    unsigned long long MaxLogFileSize() const { return MaxFileSize; }
    unsigned long long MaxTotalLogSize() const { return MaxTotalSize; }
    bool FullLog() const { return Full; }
    uint32_t OptionMask(KLogSource source) const;
    uint32_t NeverMask(KLogSource source) const;
    bool IsOverwritten(KLogSource source) const;
    // Program-set option masks that klog.cfg and the log server leave alone until released.
    void OverwriteOption(KLogSource source, uint32_t mask);
    void ReleaseOverwrittenOption(KLogSource source);

    static const kstring& GetConfigFileName();
    // The option-name table of a source (KLogUniqueOption for sources without options).
    static const char** OptionNames(KLogSource source);

private:
    void SetAllNever(bool keepOverwritten);
    void Report(KLogLevel level, const char* format, ...) const __attribute__((format(printf, 3, 4)));

    KLogContext* Reports;

    // Read by every logging thread without a lock and replaced in place by the reload
    // thread, hence atomics: a reader sees either the old or the new value of each field.
    std::atomic<Callback> FilterCallback{nullptr};
    std::atomic<uint32_t> Options[Entries];
    std::atomic<uint32_t> Never[Entries];
    std::atomic<bool> Overwritten[Entries];
    std::atomic<uint32_t> Saved[Entries];
    std::atomic<bool> Full{false};
    std::atomic<unsigned long long> MaxFileSize{KLOG_DEFAULT_MAX_FILE_SIZE};
    std::atomic<unsigned long long> MaxTotalSize{KLOG_DEFAULT_MAX_TOTAL_LOG_SIZE};
};
