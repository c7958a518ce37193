#include "Basekit/KWireText.h"

namespace basekit {

std::string EscapeWireText(const std::string& text)
{
    static const char Hex[] = "0123456789abcdef";
    std::string shown;
    shown.reserve(text.size());
    for (char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        // Bytes above 0x7e too: C1 controls (0x9b is a terminal's CSI) and stray UTF-8 would
        // reach whoever reads the log with a pager or a terminal.
        if (byte >= 0x20 && byte < 0x7f && byte != '\\') {
            shown += c;
        } else {
            shown += "\\x";
            shown += Hex[byte >> 4];
            shown += Hex[byte & 0x0f];
        }
    }
    return shown;
}

} // namespace basekit
