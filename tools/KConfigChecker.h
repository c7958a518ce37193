#pragma once
// Checks an installation's configuration the way the daemon would load it, and beyond:
// the daemon's own loaders report what they reject, and the checker adds what the daemon
// only finds out when a board fails to boot (shared or unreachable addresses, replacement
// boards that are configured themselves, missing or oversized firmware names, ports that
// collide).
#include <list>
#include <optional>
#include <string>
#include <vector>

#include "Tools/TAVO/KNETInterfaceEx.h"

// One finding, at a 1-based position of a file; line and column 0 stand for the whole file.
struct KConfigProblem {
    std::string File;
    int Line = 0;
    int Column = 0;
    std::string Message;

    // "file:line:col: message"
    std::string Text() const;
};

class KConfigChecker {
public:
    // configDir holds tavo.yaml, devices.yaml and system.yaml; firmwareDir the boards' files.
    KConfigChecker(std::string configDir, std::string firmwareDir);

    // The interfaces the daemon could serve (before its Interfaces filter). Without this
    // call the host's own interfaces are read, as the daemon reads them at start.
    void SetHostInterfaces(std::list<KNETInterfaceEx> interfaces);

    // Leaves out what depends on the host and the moment: its interfaces (and so the boards'
    // subnets) and which firmware files are there. What stays is wrong on any host.
    void SkipHostChecks();

    // Every problem found, in file order per check.
    std::vector<KConfigProblem> Check();

private:
    std::string ConfigDir;
    std::string FirmwareDir;
    std::optional<std::list<KNETInterfaceEx>> HostInterfaces;
    bool HostChecks = true;
};
