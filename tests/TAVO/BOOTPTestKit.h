#pragma once
// Shared by the network-layer and BOOTP server tests besides the common test kit: shell set-up
// of the sandbox's network, sockets inside a board namespace, the tavo.log lines and BOOTP
// requests built byte by byte.
#include <string>
#include <vector>

#include "tests/support/TestKit.h"

namespace bootptest {

// Runs a shell command (ip, sysctl) and returns its exit status.
int Sh(const std::string& command);

// Lines of /var/log/varnel/tavo.log written by the BOOTP logger, each as "L| text" (level
// letter, bar, blank, message) without the timestamp and name fields.
std::vector<std::string> BootpLines();
// Waits up to ms for at least count BOOTP lines equal to line ("E| text" form).
bool WaitForBootpLine(const std::string& line, size_t count = 1, unsigned ms = 10000);
// Lines of tavo.log containing text (any logger), whole.
std::vector<std::string> LogLinesWith(const std::string& text);

using testkit::FakeTick;

// A UDP socket made inside the named network namespace and bound there to 0.0.0.0:port,
// broadcast enabled. The descriptor is usable from any thread; -1 on failure.
int NamespaceSocket(const std::string& ns, int port);
// Sends bytes from fd to address:port; true when all went out.
bool SendTo(int fd, const std::vector<unsigned char>& bytes, const std::string& address, int port);
// Receives one datagram within ms; empty when none came.
std::vector<unsigned char> ReceiveFrom(int fd, unsigned ms);

// A BOOTP request as a board sends it: op 1, htype 1, hlen 6, chaddr 0A:3D:91 + serial,
// the magic cookie, option 43 with the identification text when given, end option.
std::vector<unsigned char> BoardRequest(unsigned serial, const std::string& identification = std::string());

} // namespace bootptest
