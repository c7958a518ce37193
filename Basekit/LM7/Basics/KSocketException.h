#pragma once
// Failures of the toolkit's TCP client socket; KSocketClosedException when the peer closed it.
#include "Basekit/KException.h"

namespace basekit {

class KSocketException : public KException {
public:
    explicit KSocketException(const kstring& text) : KException("%s", text.c_str()) {}
};

class KSocketClosedException : public KSocketException {
public:
    explicit KSocketClosedException(const kstring& text) : KSocketException(text) {}
};

} // namespace basekit
