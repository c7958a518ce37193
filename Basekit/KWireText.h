#pragma once
// Text that came off the wire (a requested file name, a transfer mode), made safe to write into
// a log line: a sender must not be able to end the line and start a forged one of its own.
#include <string>

namespace basekit {

// Every byte outside printable ASCII, and the backslash itself, as "\xNN" (two lower-case hex
// digits); printable text is kept as it is. Escaping the backslash too means that an escape in
// the result always stands for one byte of the original: a sender cannot forge one.
std::string EscapeWireText(const std::string& text);

} // namespace basekit
