// basekit::file: small path helpers (the log writer names its files with them).
#include <climits>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include "Basekit/KHostSystem.h"

namespace basekit {
namespace file {

namespace {

const int kNumberedTries = 99;

// Where ".n" goes: before the extension of the file name. A dot in a directory name is not
// an extension, so it is never the insertion point.
size_t InsertionPoint(const kstring& path)
{
    size_t slash = path.rfind('/');
    size_t dot = path.rfind('.');
    if (dot == kstring::npos || (slash != kstring::npos && dot < slash))
        return path.size();
    return dot;
}

kstring WithInsert(const kstring& path, size_t at, const kstring& insert)
{
    kstring result(path.substr(0, at));
    result += insert;
    result += path.substr(at);
    return result;
}

} // namespace

bool Exists(const kstring& path)
{
    return access(path.c_str(), F_OK) == 0;
}

kstring FullPath(const kstring& path)
{
    char resolved[PATH_MAX];
    if (!realpath(path.c_str(), resolved))
        return kstring();
    return kstring(resolved);
}

kstring UniquifyFilename(const kstring& path)
{
    kstring candidate = path;
    // Each round makes the name longer, so the search ends (at the latest when the name is
    // too long to exist).
    for (;;) {
        if (!Exists(candidate))
            return candidate;
        const size_t at = InsertionPoint(candidate);
        for (int n = 1; n <= kNumberedTries; ++n) {
            kstring numbered = WithInsert(candidate, at, fstring(".%d", n));
            if (!Exists(numbered))
                return numbered;
        }
        candidate = WithInsert(candidate, at, fstring(".%u", time::UnixTime()));
    }
}

std::string Stamp(const std::string& path)
{
    struct stat info;
    if (::stat(path.c_str(), &info) != 0)
        return std::string();
    return fstring("%lu:%lu:%lld:%lld.%09ld:%lld.%09ld", static_cast<unsigned long>(info.st_dev),
                   static_cast<unsigned long>(info.st_ino), static_cast<long long>(info.st_size),
                   static_cast<long long>(info.st_mtim.tv_sec), info.st_mtim.tv_nsec,
                   static_cast<long long>(info.st_ctim.tv_sec), info.st_ctim.tv_nsec);
}

} // namespace file
} // namespace basekit
