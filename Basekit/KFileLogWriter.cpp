#include "Basekit/KFileLogWriter.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Basekit/KHostSystem.h"
#include "Basekit/KLogBuilder.h"
#include "Basekit/KLogClock.h"

int KFileLogWriter::SecondsDisabledOnError = 30;

namespace {

const char* const TimeStampPattern = "%d/%m/%Y %H:%M:%S";

std::atomic<bool> DirectoryOptional{false};

// Files reopened for every line, so other programs may move or remove them at any time.
bool IsCloseAfterWriteName(const std::string& name)
{
    return name.empty() || name == "klog" || name == "messages" || name == "system";
}

std::string UsableLogDirectory()
{
    std::string directory = "/var/log/varnel/";
    if (KFileLogWriter::MakeLogDirectory("/var/log/varnel") && KFileLogWriter::WriteTest(directory))
        return directory;
    if (DirectoryOptional)
        return std::string();
    kstring message;
    message.Format("Fatal error writing to a critical file \"%s\"! Exiting process!", directory.c_str());
    SysLog(klError, message.c_str());
    fprintf(stderr, "%s\n", message.c_str());
    exit(-123);
}

} // namespace

KFileLogWriter::KFileLogWriter(const char* name, KLogContext& context) : Context(context)
{
    Day = KLogClock::Now().day;
    if (!name || !*name) {
        CloseAfterWrite = true;
        OpenLogMonitor();
        return;
    }
    WriterName = name;
    CloseAfterWrite = IsCloseAfterWriteName(WriterName);
}

KFileLogWriter::~KFileLogWriter()
{
    Close();
}

bool KFileLogWriter::IsOpen()
{
    basekit::KLockGuard lock(Mutex);
    // A filter reload closes every file just before its checkpoint: the files that were
    // open must still get the checkpoint line, or it would never be written anywhere.
    return File != nullptr || (!CloseAfterWrite && !Path.empty());
}

const std::string& KFileLogWriter::LogDirectory()
{
    static const std::string directory = UsableLogDirectory();
    return directory;
}

void KFileLogWriter::MayRunWithoutDirectory()
{
    DirectoryOptional = true;
}

bool KFileLogWriter::WriteTest(const std::string& directory)
{
    std::string path = directory + "WriteTest.tmp";
    // The name is fixed, so whatever sits there (a link planted to some file root would
    // truncate) is removed first and the file is created afresh.
    unlink(path.c_str());
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
    if (fd < 0)
        return false;
    bool ok = close(fd) == 0;
    unlink(path.c_str());
    return ok;
}

int KFileLogWriter::OpenForAppend(const std::string& path)
{
    // Without O_NONBLOCK a FIFO put in a log file's place would block the logging thread.
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0640);
    if (fd < 0)
        return -1;
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    fcntl(fd, F_SETFL, O_APPEND);
    return fd;
}

bool KFileLogWriter::MakeLogDirectory(const std::string& path)
{
    if (KHostSystem::MakeDirectory(path.c_str(), 0750))
        return false;
    // An operator may well put old/ or the whole log directory elsewhere with a link; a link
    // made by anybody else would choose where root writes.
    struct stat status;
    return lstat(path.c_str(), &status) == 0 && (!S_ISLNK(status.st_mode) || status.st_uid == 0);
}

void KFileLogWriter::Open(const char* name)
{
    basekit::KLockGuard lock(Mutex);
    if (File)
        return;
    if (!name || !*name) {
        Context.Report(klWarning, "Trying to open a log file with null or empty filename.");
        return;
    }
    std::string full(name);
    std::string directoryPart;
    std::string base = full;
    size_t slash = full.rfind('/');
    if (slash != std::string::npos) {
        directoryPart = full.substr(0, slash);
        base = full.substr(slash + 1);
    }
    std::string path = LogDirectory();
    if (path.empty())
        return;
    if (!directoryPart.empty()) {
        std::string subdirectory = path + directoryPart;
        if (MakeLogDirectory(subdirectory))
            path = subdirectory + "/";
    }
    path += base;
    if (path.find(".log") == std::string::npos)
        path += ".log";
    _InternalOpen(path);
    Path = path;
}

bool KFileLogWriter::_InternalOpen(const std::string& path)
{
    if (WriteDisabled(false))
        return false;
    int fd = OpenForAppend(path);
    File = fd >= 0 ? fdopen(fd, "a") : nullptr;
    if (!File) {
        const int error = errno;
        if (fd >= 0)
            close(fd);
        errno = error;
        WriteError("fopen");
        return false;
    }
    struct stat status;
    Size = fstat(fileno(File), &status) == 0 ? static_cast<unsigned long long>(status.st_size) : 0;
    return true;
}

bool KFileLogWriter::Close()
{
    basekit::KLockGuard lock(Mutex);
    if (!File)
        return false;
    int result = fclose(File);
    File = nullptr;
    if (result != 0) {
        WriteError("fclose");
        return false;
    }
    return true;
}

void KFileLogWriter::Emit(const char* text, size_t length, const char* operation)
{
    if (!length)
        return;
    size_t written = fwrite(text, 1, length, File);
    Size += written;
    if (written != length)
        WriteError(operation);
}

void KFileLogWriter::Write(const char* format, va_list args)
{
    kstring text;
    text.vFormat(format, args);
    WriteText(text.data(), text.size(), "vfprintf");
}

void KFileLogWriter::Write(const char* text)
{
    WriteText(text, strlen(text), "fputs");
}

void KFileLogWriter::WriteText(const char* text, size_t length, const char* operation)
{
    basekit::KLockGuard lock(Mutex);
    // Without a log directory nothing would ever take the line: it is not kept either.
    if (WriteDisabled(true) || LogDirectory().empty())
        return;
    CheckSizeAndRotate();
    if (!File) {
        Pending.append(text, length);
        return;
    }
    if (!Pending.empty()) {
        kstring pending;
        pending.swap(Pending);
        Emit(pending.data(), pending.size(), "fwrite");
        if (DisabledUntil)
            return;
    }
    Emit(text, length, operation);
}

void KFileLogWriter::Flush(bool lazy)
{
    basekit::KLockGuard lock(Mutex);
    if (!File)
        return;
    if (CloseAfterWrite) {
        Close();
        return;
    }
    if (lazy)
        return;
    if (fflush(File) != 0)
        WriteError("fflush");
}

void KFileLogWriter::CheckSizeAndRotate()
{
    basekit::KLockGuard lock(Mutex);
    if (!File)
        Open(WriterName.c_str());
    if (File && Size > Context.MaxLogSize())
        Rotate();
}

void KFileLogWriter::Rotate()
{
    basekit::KLockGuard lock(Mutex);
    if (!File)
        return;
    Close();
    RenameOlderRotations();
    Open(WriterName.c_str());
}

void KFileLogWriter::RenameOlderRotations()
{
    basekit::KLockGuard lock(Mutex);
    const std::string& directory = LogDirectory();
    std::string name = WriterName;
    std::string subdirectory;
    size_t slash = name.rfind('/');
    if (slash != std::string::npos) {
        subdirectory = name.substr(0, slash);
        name = name.substr(slash + 1);
    }
    // A file kept in a subdirectory keeps it under old/ as well (sub/x.log goes to old/sub/).
    std::string target = directory + "old";
    std::string inSubdirectory = directory + subdirectory + "/";
    if (!subdirectory.empty() && Path.compare(0, inSubdirectory.size(), inSubdirectory) == 0)
        target += "/" + subdirectory;
    // Without its directory the file is not moved and keeps growing, as after a failed move.
    if (!MakeLogDirectory(target))
        return;
    KSystemTime now = KLogClock::Now();
    target += fstring("/%s.%04d%02d%02d-%02d%02d%02d.log", name.c_str(), now.year, now.month, now.day, now.hour,
                      now.minute, now.second);
    kstring unique = basekit::file::UniquifyFilename(target);
    // A failed move is not reported: the file is reopened under its own name and keeps growing.
    rename(Path.c_str(), unique.c_str());
}

void KFileLogWriter::CheckDay(unsigned day)
{
    basekit::KLockGuard lock(Mutex);
    if (day == Day)
        return;
    Day = day;
    KSystemTime now = KLogClock::Now();
    Write(fstring("\n\n*****[ DATE ]*********************/ %02d/%02d/%04d %02d:%02d:%02d /*****\n", now.day,
                  now.month, now.year, now.hour, now.minute, now.second)
              .c_str());
}

void KFileLogWriter::WriteError(const char* operation)
{
    int error = errno ? errno : EIO;
    SysLog(klWarning, fstring("%s(3) failed: (%d) %s. Log %s disabled by %d seconds.\n", operation, error,
                              strerror(error), WriterName.c_str(), SecondsDisabledOnError)
                          .c_str());
    if (ErrorSince.empty()) {
        ErrorCode = error;
        ErrorSince = KLogClock::Format(TimeStampPattern);
    }
    DisabledUntil = KLogClock::Seconds() + SecondsDisabledOnError;
    if (File)
        clearerr(File);
}

bool KFileLogWriter::WriteDisabled(bool tryRecover)
{
    if (!DisabledUntil)
        return false;
    if (KLogClock::Seconds() < DisabledUntil)
        return true;
    if (!tryRecover)
        return false;
    if (!File) {
        Open(WriterName.c_str());
        if (!File)
            return true;
    }
    kstring banner;
    banner.Format("\n*****[ I/O ERROR ]***** %s ***** Lost messages since %s, due to write error (%d) %s.\n\n",
                  KLogClock::Format(TimeStampPattern).c_str(), ErrorSince.c_str(), ErrorCode,
                  strerror(ErrorCode));
    errno = 0;
    size_t written = fwrite(banner.data(), 1, banner.size(), File);
    Size += written;
    if (written != banner.size() || fflush(File) != 0) {
        WriteError("fprintf(3) or fflush");
        return true;
    }
    DisabledUntil = 0;
    ErrorCode = 0;
    ErrorSince.clear();
    return false;
}

void KFileLogWriter::PrintLogOpened()
{
    basekit::KLockGuard lock(Mutex);
    KSystemTime now = KLogClock::Now();
    kstring text;
    text.Format("\n\n*****[ LOG OPENED ]***************************/ %02d-%02d-%04d %02d:%02d:%02d /*****\n", now.day,
                now.month, now.year, now.hour, now.minute, now.second);
    char exe[1024];
    if (KHostSystem::GetExeName(exe, sizeof(exe), true))
        text.AppendFormat("Application: %s\n", exe);
    text.AppendFormat("PID: %d\n\n", KHostSystem::GetCurrentProcId());
    Write(text.c_str());
}

void KFileLogWriter::OpenLogMonitor()
{
    basekit::KLockGuard lock(Mutex);
    if (File) {
        Context.Report(klNotice, "KLogger monitor is already open. File [%s]", Path.c_str());
        return;
    }
    WriterName = "klog";
    if (LogDirectory().empty()) {
        Context.SuppressReports();
        return;
    }
    Path = LogDirectory() + "klog.log";
    if (!_InternalOpen(Path)) {
        SysLog(klError, "Could not open internal log file, logs may not work!");
        Context.SuppressReports();
        return;
    }
    char exe[256];
    if (!KHostSystem::GetExeName(exe, sizeof(exe), false))
        snprintf(exe, sizeof(exe), "unknown");
    KLogBuilder line(this, &Context, klNotice);
    line.Message().Format("| Loading module app: [%s] pid: [%d] mod: [%s]", exe, KHostSystem::GetCurrentProcId(),
                          Context.GetModuleName().c_str());
}
