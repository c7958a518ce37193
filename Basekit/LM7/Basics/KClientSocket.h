#pragma once
// A connected TCP client socket with blocking exact reads and writes. Readers and writers
// each hold their own mutex, so one thread may receive while another sends.
#include <cstddef>

#include "Basekit/KThreadMutex.h"

namespace basekit {

class KClientSocket {
public:
    // Connects to host (name or dotted quad) and port; gives up after timeoutMs.
    // Throws KSocketException.
    KClientSocket(const char* host, unsigned short port, unsigned timeoutMs = 5000);
    // Takes over an already connected descriptor.
    explicit KClientSocket(int descriptor);
    ~KClientSocket();
    KClientSocket(const KClientSocket&) = delete;
    KClientSocket& operator=(const KClientSocket&) = delete;

    // All bytes or KSocketException.
    void WriteAll(const void* data, size_t size);
    // Exactly size bytes; KSocketClosedException when the peer closes first.
    void ReadExact(void* data, size_t size);
    // 1 when data (or the end of the stream) is waiting, 0 on time-out, -1 on error.
    int WaitForData(int timeoutMs);
    // Ends the connection in both directions; wakes a thread blocked in a read.
    void Shutdown();

    KMutex& ReadMutex() { return ReadLock; }
    KMutex& WriteMutex() { return WriteLock; }
    int Handle() const { return Descriptor; }

private:
    int Descriptor = -1;
    KThreadMutex ReadLock;  // serialises frame reads
    KThreadMutex WriteLock; // serialises frame writes
};

} // namespace basekit
