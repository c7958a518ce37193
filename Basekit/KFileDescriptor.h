#pragma once
// Owns one file descriptor and closes it when it goes out of scope, so that no return path or
// exception leaks a socket or a file.
#include <unistd.h>

namespace basekit {

class KFileDescriptor {
public:
    explicit KFileDescriptor(int fd = -1) : Fd(fd) {}
    ~KFileDescriptor() { Reset(); }
    KFileDescriptor(const KFileDescriptor&) = delete;
    KFileDescriptor& operator=(const KFileDescriptor&) = delete;
    KFileDescriptor(KFileDescriptor&& other) noexcept : Fd(other.Release()) {}
    KFileDescriptor& operator=(KFileDescriptor&& other) noexcept
    {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }

    // -1 when it holds none.
    int Get() const { return Fd; }
    // Closes what it holds and takes fd instead.
    void Reset(int fd = -1)
    {
        if (Fd >= 0)
            ::close(Fd);
        Fd = fd;
    }
    // Gives the descriptor up without closing it.
    int Release()
    {
        const int fd = Fd;
        Fd = -1;
        return fd;
    }

private:
    int Fd;
};

} // namespace basekit
