#pragma once
// The toolkit's base exception: a printf-style formatted message returned by what().
#include <cstdarg>
#include <exception>

#include "Basekit/kstring.h"

class KBaseException : public std::exception {
public:
    KBaseException() = default;
    explicit KBaseException(const kstring& text) : Message(text) {}
    // printf-style; pass a ready text that may hold "%" through the kstring form.
    KBaseException(const char* format, ...) __attribute__((format(printf, 2, 3)));

    const char* what() const noexcept override { return Message.c_str(); }
    const kstring& GetString() const { return Message; }

protected:
    void SetMessage(const char* format, va_list args) { Message.vFormat(format, args); }
    kstring Message;
};

// T names the raising class, so handlers can tell configuration errors from reader errors.
template <typename T>
class KTemplateException : public KBaseException {
public:
    KTemplateException() = default;
    explicit KTemplateException(const kstring& text) : KBaseException(text) {}
    KTemplateException(const char* format, ...) __attribute__((format(printf, 2, 3)))
    {
        va_list args;
        va_start(args, format);
        SetMessage(format, args);
        va_end(args);
    }
};
