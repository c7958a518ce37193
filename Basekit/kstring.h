#pragma once
// The toolkit string: a std::string with printf-style formatting that can travel
// over the socket message channel (length-prefixed, NUL-terminated).
#include <cstdarg>
#include <string>

namespace basekit {

class KSerializer;

class kstring : public std::string {
public:
    kstring() = default;
    kstring(const char* text) : std::string(text ? text : "") {}
    kstring(const char* text, size_type n) : std::string(text, n) {}
    kstring(const std::string& text) : std::string(text) {}
    kstring(std::string&& text) : std::string(std::move(text)) {}
    kstring(size_type n, char c) : std::string(n, c) {}

    kstring& Format(const char* format, ...) __attribute__((format(printf, 2, 3)));
    kstring& AppendFormat(const char* format, ...) __attribute__((format(printf, 2, 3)));
    kstring& vFormat(const char* format, va_list args);
    kstring& vAppendFormat(const char* format, va_list args);
    // Same as Format, kept for code that reads like C.
    int sprintf(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Length n (characters + 1) as 4 bytes LSB first, then the characters and a NUL.
    void Serialize(KSerializer& serializer);
};

// A kstring built from a format and its arguments.
class fstring : public kstring {
public:
    explicit fstring(const char* format, ...) __attribute__((format(printf, 2, 3)));
};

} // namespace basekit

using basekit::fstring;
using basekit::kstring;
