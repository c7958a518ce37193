#pragma once
// The exception of sockets and servers: a message and, optionally, where it was raised.
#include <cstdarg>
#include <stdexcept>

#include "Basekit/kstring.h"

namespace basekit {

class KException : public std::exception {
public:
    KException(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Raised at a source location (file text without extension, line).
    KException(const char* file, int line, const char* format, ...) __attribute__((format(printf, 4, 5)));

    const char* what() const noexcept override { return Message.c_str(); }
    const kstring& GetString() const { return Message; }
    const kstring& GetFile() const { return File; }
    int GetLine() const { return Line; }

private:
    kstring Message;
    kstring File;
    int Line = 0;
};

} // namespace basekit
