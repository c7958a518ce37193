// tavo-check-config: checks the boot service's configuration before the daemon loads it.
#include <arpa/inet.h>
#include <getopt.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <list>
#include <string>

#include "Basekit/KFileLogWriter.h"
#include "tools/KConfigChecker.h"

// The daemon's loaders log through loggers made before main, and the first one checks the log
// directory. The checker runs from any account and before the daemon's first start, so where
// it cannot write log files it goes on without them; this runs before those loggers are made.
__attribute__((constructor(101))) static void LogFilesOnlyWhereWritable()
{
    KFileLogWriter::MayRunWithoutDirectory();
}

namespace {

const char* const Usage =
    "Usage: tavo-check-config [OPTION]... [DIRECTORY]\n"
    "Check the tavo configuration: tavo.yaml, devices.yaml and system.yaml are loaded the way\n"
    "the daemon loads them, and the boards are checked against the served interfaces and the\n"
    "firmware directory.\n"
    "\n"
    "DIRECTORY is an installation directory holding config/ and data/am17/ (default /etc/varnel),\n"
    "or a configuration directory holding the YAML files themselves.\n"
    "\n"
    "  -f, --firmware DIR         firmware directory (default: data/am17 of the installation\n"
    "                             directory, or ../data/am17 next to a configuration directory)\n"
    "  -i, --interface ADDR/MASK  an interface the daemon could serve, instead of this host's\n"
    "                             interfaces; MASK is a prefix length or a dotted netmask;\n"
    "                             may be given several times\n"
    "  -n, --no-host              leave out what depends on this host: its interfaces (and so\n"
    "                             the boards' subnets) and which firmware files are present\n"
    "  -q, --quiet                print nothing; only the exit status tells\n"
    "  -h, --help                 print this help and exit\n"
    "\n"
    "Each problem is printed as FILE:LINE:COLUMN: MESSAGE (line and column 0: the whole file).\n"
    "Exit status: 0 when no problem was found, 1 otherwise.\n";

bool IsDirectory(const std::string& path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string Dotted(uint32_t hostOrder)
{
    in_addr address{};
    address.s_addr = htonl(hostOrder);
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

// "192.0.2.1/24" or "192.0.2.1/255.255.255.0" as the daemon would see that interface.
bool ParseInterface(const std::string& text, KNETInterfaceEx& out)
{
    const std::size_t slash = text.find('/');
    if (slash == std::string::npos)
        return false;
    in_addr address{};
    if (inet_pton(AF_INET, text.substr(0, slash).c_str(), &address) != 1)
        return false;
    const std::string maskText = text.substr(slash + 1);
    uint32_t mask = 0;
    in_addr dotted{};
    if (inet_pton(AF_INET, maskText.c_str(), &dotted) == 1) {
        mask = ntohl(dotted.s_addr);
    } else {
        char* end = nullptr;
        const long bits = std::strtol(maskText.c_str(), &end, 10);
        if (maskText.empty() || *end != '\0' || bits < 0 || bits > 32)
            return false;
        mask = bits == 0 ? 0 : ~uint32_t(0) << (32 - bits);
    }
    const uint32_t host = ntohl(address.s_addr);
    out.Address = Dotted(host);
    out.NetMask = Dotted(mask);
    out.BroadCast = Dotted(host | ~mask);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    static const option options[] = {
        {"firmware", required_argument, nullptr, 'f'},
        {"interface", required_argument, nullptr, 'i'},
        {"no-host", no_argument, nullptr, 'n'},
        {"quiet", no_argument, nullptr, 'q'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    std::string firmware;
    std::list<KNETInterfaceEx> interfaces;
    bool quiet = false;
    bool hostChecks = true;
    for (int c; (c = getopt_long(argc, argv, "f:i:nqh", options, nullptr)) != -1;) {
        switch (c) {
        case 'f':
            firmware = optarg;
            break;
        case 'i': {
            KNETInterfaceEx parsed;
            if (!ParseInterface(optarg, parsed)) {
                std::fprintf(stderr, "tavo-check-config: '%s' is not ADDRESS/PREFIX or ADDRESS/NETMASK\n", optarg);
                return 1;
            }
            interfaces.push_back(parsed);
            break;
        }
        case 'n':
            hostChecks = false;
            break;
        case 'q':
            quiet = true;
            break;
        case 'h':
            std::fputs(Usage, stdout);
            return 0;
        default:
            std::fputs(Usage, stderr);
            return 1;
        }
    }
    // Interfaces given for a check that leaves the host out are a mistake, not a choice.
    if (argc - optind > 1 || (!hostChecks && !interfaces.empty())) {
        std::fputs(Usage, stderr);
        return 1;
    }
    const std::string directory = optind < argc ? argv[optind] : "/etc/varnel";
    if (!IsDirectory(directory)) {
        std::fprintf(stderr, "tavo-check-config: %s is not a directory\n", directory.c_str());
        return 1;
    }
    // An installation directory has config/ inside; otherwise the YAML files are right here.
    std::string config = directory;
    if (IsDirectory(directory + "/config")) {
        config = directory + "/config";
        if (firmware.empty())
            firmware = directory + "/data/am17";
    } else if (firmware.empty()) {
        firmware = directory + "/../data/am17";
    }

    KConfigChecker checker(config, firmware);
    if (!interfaces.empty())
        checker.SetHostInterfaces(interfaces);
    if (!hostChecks)
        checker.SkipHostChecks();
    const std::vector<KConfigProblem> problems = checker.Check();
    if (!quiet) {
        for (const KConfigProblem& problem : problems)
            std::printf("%s\n", problem.Text().c_str());
        if (problems.empty())
            std::printf("%s: no problems found\n", config.c_str());
        else
            std::printf("%zu problem%s found\n", problems.size(), problems.size() == 1 ? "" : "s");
    }
    return problems.empty() ? 0 : 1;
}
