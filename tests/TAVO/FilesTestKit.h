#pragma once
// Shared by the file and time service tests: files in the sandbox's fixed directories,
// TEST-NET addresses in the test's own network namespace, a raw UDP client, the lines of
// tavo.log and a recorder of TFTP phases.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Tools/TAVO/KTFTPNotifier.h"

namespace filestest {

// Names each case of a parameterised test after the case's `name` field.
struct CaseName {
    template <class Case>
    std::string operator()(const ::testing::TestParamInfo<Case>& param) const
    {
        return param.param.name;
    }
};

extern const char* const ConfigDir;   // /etc/varnel/config/
extern const char* const FirmwareDir; // /etc/varnel/data/am17/

// Writes a file in one step (temporary and rename), creating its parent directories.
void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
void WriteConfig(const std::string& name, const std::string& yaml); // ConfigDir + name + ".yaml"
// Content of a test file: byte i is (i * 7 + seed) mod 251, so blocks differ from each other.
std::string Pattern(size_t size, unsigned seed = 0);

// CRC-32 (IEEE, reflected), bit by bit: an oracle independent of the table-driven writer.
uint32_t BitwiseCrc32(const std::string& bytes);
// The four trailer bytes of a generated file: the CRC, most significant byte first.
std::string Trailer(uint32_t crc);

// Adds an address (e.g. "192.0.2.50/32") to lo in the test's network namespace; idempotent.
void AddAddress(const std::string& cidr);

// tavo.log from the moment of construction.
class LogWatch {
public:
    LogWatch();
    std::string Text() const;
    // Waits up to ms for text to appear in a line written since construction.
    bool WaitFor(const std::string& text, unsigned ms = 10000) const;

private:
    std::string Path;
    long Start = 0;
};

struct Datagram {
    std::string Bytes;
    std::string Address;
    uint16_t Port = 0;
};

// A UDP socket bound to one address of the namespace, as a board's would be.
class RawClient {
public:
    explicit RawClient(const std::string& address, uint16_t port = 0);
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    void SendTo(const std::string& address, uint16_t port, const std::string& bytes);
    // The next datagram within ms, or none.
    std::optional<Datagram> Receive(unsigned ms);
    uint16_t LocalPort() const;

private:
    int Fd = -1;
};

// TFTP packets as a board builds them.
std::string ReadRequest(const std::string& name, const std::string& mode = "octet");
std::string Ack(uint16_t block);
std::string Data(uint16_t block, const std::string& bytes);
std::string Error(uint8_t code, const std::string& text);

// Fetches a file in lock-step from server:port, acknowledging every block from the port it
// came from. Returns the content, or none on an ERROR, a malformed or out-of-order packet or
// a silence of more than ms.
std::optional<std::string> Fetch(const std::string& board, const std::string& server, uint16_t port,
                                 const std::string& name, unsigned ms = 5000);

// Records every phase report and lets a test wait for one.
class PhaseRecorder : public KTFTPNotifier {
public:
    void ClientStatus(const std::string& client, KTFTPStatus status, const std::string& detail) override;
    // Waits until client has reported status (the same report is not consumed).
    bool WaitFor(const std::string& client, KTFTPStatus status, unsigned ms = 10000);
    std::vector<KTFTPStatus> Phases(const std::string& client);
    std::string Detail(const std::string& client, KTFTPStatus status);
    void Clear(const std::string& client);

private:
    struct Report {
        std::string Client;
        KTFTPStatus Status;
        std::string Detail;
    };
    std::mutex Mutex;
    std::condition_variable Changed;
    std::vector<Report> Reports;
};

} // namespace filestest
