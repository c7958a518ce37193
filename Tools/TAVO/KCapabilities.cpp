#include "Tools/TAVO/KCapabilities.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "Basekit/KBaseException.h"

namespace {

// capget/capset work on two 32-bit words per set since version 3 of the interface.
struct CapabilitySets {
    uint64_t Effective = 0;
    uint64_t Permitted = 0;
    uint64_t Inheritable = 0;
};

[[noreturn]] void Fail(const char* call)
{
    const int error = errno;
    throw KBaseException("Unable to drop capabilities: %s: (%d) %s", call, error, strerror(error));
}

CapabilitySets Get()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, data) != 0)
        Fail("capget");
    CapabilitySets sets;
    sets.Effective = data[0].effective | static_cast<uint64_t>(data[1].effective) << 32;
    sets.Permitted = data[0].permitted | static_cast<uint64_t>(data[1].permitted) << 32;
    sets.Inheritable = data[0].inheritable | static_cast<uint64_t>(data[1].inheritable) << 32;
    return sets;
}

void Set(const CapabilitySets& sets)
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    for (int word = 0; word < _LINUX_CAPABILITY_U32S_3; ++word) {
        data[word].effective = static_cast<uint32_t>(sets.Effective >> (32 * word));
        data[word].permitted = static_cast<uint32_t>(sets.Permitted >> (32 * word));
        data[word].inheritable = static_cast<uint32_t>(sets.Inheritable >> (32 * word));
    }
    if (syscall(SYS_capset, &header, data) != 0)
        Fail("capset");
}

// Threads of this process; 0 when /proc cannot tell.
int ThreadCount()
{
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks)
        return 0;
    int count = 0;
    while (const dirent* entry = readdir(tasks))
        count += entry->d_name[0] != '.';
    closedir(tasks);
    return count;
}

uint64_t Bit(int capability)
{
    return uint64_t{1} << capability;
}

} // namespace

KCapabilities::KCapabilities(std::initializer_list<int> kept)
{
    for (int capability : kept)
        Kept |= Bit(capability);
}

uint64_t KCapabilities::Restrict() const
{
    const int threads = ThreadCount();
    if (threads > 1)
        throw KBaseException("Unable to drop capabilities: %d threads already run, each would keep its own",
                             threads);

    CapabilitySets sets = Get();
    // The bounding set first: dropping from it takes CAP_SETPCAP, which goes with the rest.
    // Without CAP_SETPCAP (a service manager that already bounded the set) what is left
    // cannot be regained anyway once no-new-privileges is set and the permitted set reduced.
    const bool mayDropBounding = (sets.Effective & Bit(CAP_SETPCAP)) != 0;
    uint64_t leftInBounding = 0;
    for (int capability = 0; capability < 64; ++capability) {
        const int held = prctl(PR_CAPBSET_READ, capability, 0, 0, 0);
        if (held < 0)
            break; // past the kernel's last capability
        if (held == 0 || (Kept & Bit(capability)) != 0)
            continue;
        if (!mayDropBounding)
            leftInBounding |= Bit(capability);
        else if (prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0)
            Fail("prctl(PR_CAPBSET_DROP)");
    }
    // Kernels before 4.3 have no ambient set, so nothing to clear there.
    if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL)
        Fail("prctl(PR_CAP_AMBIENT_CLEAR_ALL)");

    sets.Permitted &= Kept;
    sets.Effective = sets.Permitted;
    sets.Inheritable = 0;
    Set(sets);
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        Fail("prctl(PR_SET_NO_NEW_PRIVS)");
    return leftInBounding;
}
