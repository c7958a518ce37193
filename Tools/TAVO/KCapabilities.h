#pragma once
// Reduces the process to a kept set of capabilities for good, with plain capget/capset and
// prctl: nothing outside the set stays effective, permitted, inheritable, ambient or (where
// the process may change it) in the bounding set, and no-new-privileges is set.
#include <cstdint>
#include <initializer_list>

class KCapabilities {
public:
    // Capability numbers of <linux/capability.h>.
    KCapabilities(std::initializer_list<int> kept);

    // Throws KBaseException with the failed call and its error text. Capabilities belong to
    // each thread, so it refuses to run while the process has more than one: a thread started
    // earlier would keep everything. A kept capability the process does not hold stays absent.
    // Returns the bounding-set capabilities outside the kept set that could not be dropped
    // because CAP_SETPCAP is missing (0 normally).
    uint64_t Restrict() const;

private:
    uint64_t Kept = 0;
};
