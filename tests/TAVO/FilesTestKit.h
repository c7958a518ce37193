#pragma once
// Shared by the file and time service tests besides the common test kit: TEST-NET addresses
// in the test's own network namespace, a raw board socket, tavo.log and a recorder of TFTP
// phases.
#include <cstdint>
#include <gtest/gtest.h>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Tools/TAVO/KTFTPNotifier.h"
#include "tests/support/TestKit.h"

namespace filestest {

extern const char* const FirmwareDir; // /etc/varnel/data/am17/

// Names each case of a parameterised test after its `name` field.
struct CaseName {
    template <class Case>
    std::string operator()(const ::testing::TestParamInfo<Case>& info) const { return info.param.name; }
};

using testkit::ReadFile;
using testkit::WriteConfig;
using testkit::WriteFile;
// Byte i is (i * 7 + seed) mod 251, so neighbouring blocks differ.
std::string Pattern(size_t size, unsigned seed = 0);
// CRC-32 computed bit by bit, apart from the table-driven writer, as 4 big-endian bytes.
std::string CrcTrailer(const std::string& bytes);
// Adds an address (e.g. "192.0.2.50/32") to lo in the test's namespace; idempotent.
void AddAddress(const std::string& cidr);

// tavo.log from the moment of construction.
class LogWatch : public testkit::LogTail {
public:
    LogWatch();
};

struct Datagram {
    std::string Bytes;
    uint16_t Port = 0;
};

// A UDP socket bound to one address of the namespace, as a board's is.
class RawClient {
public:
    explicit RawClient(const std::string& address, uint16_t port = 0);
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;
    void SendTo(const std::string& address, uint16_t port, const std::string& bytes);
    std::optional<Datagram> Receive(unsigned ms = 5000);

private:
    int Fd = -1;
};

// Sends bytes and waits for the first answer, sending again every fifth of ms as a board does:
// a server just started may not have bound its socket yet.
std::optional<Datagram> Ask(RawClient& client, const std::string& server, uint16_t port, const std::string& bytes,
                            unsigned ms = 5000);

// TFTP packets as a board sends or expects them.
std::string ReadRequest(const std::string& name, const std::string& mode = "octet");
std::string Ack(uint16_t block);
std::string Data(uint16_t block, const std::string& bytes);

// Fetches a file in lock-step, acknowledging each block to the port it came from. None on an
// ERROR, a packet out of order, or a silence longer than ms.
std::optional<std::string> Fetch(const std::string& board, const std::string& server, uint16_t port,
                                 const std::string& name, unsigned ms = 5000);

class PhaseRecorder : public KTFTPNotifier {
public:
    void ClientStatus(const std::string& client, KTFTPStatus status, const std::string& detail) override;
    std::vector<KTFTPStatus> Phases(const std::string& client);

private:
    std::mutex Mutex;
    std::vector<std::pair<std::string, KTFTPStatus>> Reports;
};

} // namespace filestest
