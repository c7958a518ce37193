#include "Tools/TAVO/KTFTPSubProcess.h"

#include <arpa/inet.h>
#include <cerrno>
#include <memory>
#include <netinet/in.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "Basekit/KByteReader.h"
#include "Basekit/KByteWriter.h"
#include "Basekit/KFileDescriptor.h"
#include "Basekit/KHostSystem.h"
#include "Basekit/KWireText.h"
#include "Basekit/kstring.h"
#include "Tools/TAVO/KTFTPLink.h"
#include "Tools/TAVO/KTFTPServer.h"
#include "Tools/TAVO/KTFTPSocketLink.h"
#include "Tools/TAVO/KTFTPTransferHost.h"

namespace {

const int BlockSize = 512;
const int HeaderSize = 4; // opcode, block number
const int PacketSize = HeaderSize + BlockSize;
const int Transmissions = 6;       // sends of one block before giving up
const int AckWaitMs = 2000;        // one receive
const unsigned ResendAfterMs = 6000; // since the block's last transmission
const uint16_t OpData = 3;
const uint16_t OpAck = 4;
const uint16_t OpError = 5;


// Reads the file ahead into whole DATA packets: one readv fills the data part of up to
// Slots packets in place, so a block costs neither a read call nor a copy of its own and a
// retransmission sends the very same bytes. Eight packets: a read call per eight blocks costs
// nothing measurable per block, and 64 transfers hold 264 KiB of read-ahead instead of the
// 2.1 MiB that 64 packets each took.
class BlockSource {
public:
    static const int Slots = 8;

    explicit BlockSource(int fd) : Fd(fd), Packets(new unsigned char[Slots * PacketSize]) {}

    // The next packet, its first HeaderSize bytes free for the header; length receives the
    // data bytes (0 to 512, less than 512 only for the last block). nullptr on a read error.
    unsigned char* Next(int& length)
    {
        if (Index == Count && !Refill())
            return nullptr;
        unsigned char* packet = Packets.get() + Index * PacketSize;
        length = Index == Count - 1 ? LastLength : BlockSize;
        ++Index;
        return packet;
    }

private:
    bool Refill()
    {
        if (Failed)
            return false;
        const size_t total = static_cast<size_t>(Slots) * BlockSize;
        size_t filled = 0;
        iovec parts[Slots];
        // A short read need not be the end of the file: read until the slots are full or
        // the file reports its end, so that only the last block can be short.
        while (filled < total) {
            int n = 0;
            for (size_t at = filled; at < total; ++n) {
                size_t offset = at % BlockSize;
                parts[n].iov_base = Packets.get() + (at / BlockSize) * PacketSize + HeaderSize + offset;
                parts[n].iov_len = BlockSize - offset;
                at += parts[n].iov_len;
            }
            ssize_t got = readv(Fd, parts, n);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0) {
                Failed = true;
                break;
            }
            if (got == 0)
                break;
            filled += static_cast<size_t>(got);
        }
        Index = 0;
        if (Failed) {
            // Serve the whole blocks read before the error, then report it.
            Count = static_cast<int>(filled / BlockSize);
            LastLength = BlockSize;
            return Count > 0;
        }
        if (filled == total) {
            Count = Slots;
            LastLength = BlockSize;
        } else {
            // End of file; a length that is a multiple of 512 ends with an empty block.
            Count = static_cast<int>(filled / BlockSize) + 1;
            LastLength = static_cast<int>(filled % BlockSize);
        }
        return true;
    }

    int Fd;
    std::unique_ptr<unsigned char[]> Packets; // Slots packets of PacketSize bytes
    int Count = 0;      // packets filled
    int Index = 0;      // next packet to hand out
    int LastLength = 0; // data bytes of the last filled packet
    bool Failed = false;
};

// The sender must be the board itself: the socket is connected, but the rule stands on its own.
bool IsAckOf(const unsigned char* datagram, int length, const sockaddr_in& from, const sockaddr_in& destination,
             uint16_t block)
{
    if (length != 4 || from.sin_addr.s_addr != destination.sin_addr.s_addr || from.sin_port != destination.sin_port)
        return false;
    basekit::KByteReader reader(datagram, static_cast<size_t>(length));
    uint16_t opcode = reader.u16be();
    uint16_t number = reader.u16be();
    return reader.ok() && opcode == OpAck && number == block;
}

void SendError(KTFTPLink& link, unsigned char code, const char* text)
{
    unsigned char packet[PacketSize];
    basekit::KByteWriter writer(packet, sizeof packet);
    writer.u16be(OpError);
    writer.u8(0); // error code, high byte
    writer.u8(code);
    writer.cstring(text);
    if (writer.ok())
        link.Send(packet, static_cast<int>(writer.size()));
}

} // namespace

KTFTPSubProcess::KTFTPSubProcess(KTFTPServer* server, std::string fileName, std::string localAddress,
                                 std::string clientAddress, uint32_t clientPort)
    : Server(server), FileName(std::move(fileName)), LocalAddress(std::move(localAddress)),
      ClientAddress(std::move(clientAddress)), ClientPort(clientPort)
{
}

void KTFTPSubProcess::Transfer()
{
    sockaddr_in board{};
    board.sin_family = AF_INET;
    board.sin_port = htons(static_cast<uint16_t>(ClientPort));
    board.sin_addr.s_addr = inet_addr(ClientAddress.c_str());
    KTFTPSocketLink link(LocalAddress, board);
    if (!link.Connect()) {
        Server->TransferLog(klError, fstring("Client %s error sending data to socket [%i]", ClientAddress.c_str(),
                                             link.LastError()));
        Server->NotifyClient(ClientAddress, tsSendError, "");
        return;
    }
    Run(*Server, link);
}

void KTFTPSubProcess::Run(KTFTPTransferHost& host, KTFTPLink& link)
{
    const char* client = ClientAddress.c_str();
    sockaddr_in board{};
    board.sin_port = htons(static_cast<uint16_t>(ClientPort));
    board.sin_addr.s_addr = inet_addr(client);
    // The name came off the wire: logged escaped, so that it cannot end the line.
    const std::string shown = basekit::EscapeWireText(FileName);

    bool over = false;
    {
        basekit::KFileDescriptor file(host.OpenRequested(FileName));
        if (file.Get() < 0) {
            host.TransferLog(klWarning, fstring("Client %s file [%s] not found!", client, shown.c_str()));
            host.NotifyClient(ClientAddress, tsFileNotFound, "");
            SendError(link, 1, "File not found");
            return;
        }
        struct stat st {};
        if (Progress && ::fstat(file.Get(), &st) == 0)
            Progress->Size.store(static_cast<uint64_t>(st.st_size), std::memory_order_relaxed);
        host.TransferLog(klTrace, fstring("Client %s sending file: %s", client, shown.c_str()));
        host.NotifyClient(ClientAddress, tsSending, shown);

        BlockSource blocks(file.Get());
        uint16_t block = 1; // wraps from 65535 to 0
        uint32_t sent = 0;
        uint64_t acknowledged = 0;
        while (host.IsServing() && !over) {
            int length = 0;
            unsigned char* packet = blocks.Next(length);
            if (!packet) {
                host.TransferLog(klError, fstring("Error reading file %s", shown.c_str()));
                host.NotifyClient(ClientAddress, tsReadError, "");
                SendError(link, 0, "Error reading file");
                over = true;
                break;
            }
            basekit::KByteWriter header(packet, HeaderSize);
            header.u16be(OpData);
            header.u16be(block);
            if (Progress)
                Progress->Block.store(++sent, std::memory_order_relaxed);
            const BlockOutcome outcome = SendBlock(host, link, board, packet, length, block);
            if (outcome == BlockOutcome::Cancelled)
                break;
            if (Progress && outcome == BlockOutcome::Acknowledged)
                Progress->Acknowledged.store(acknowledged += static_cast<uint64_t>(length), std::memory_order_relaxed);
            over = outcome == BlockOutcome::Over || length < BlockSize;
            if (outcome == BlockOutcome::Acknowledged && length < BlockSize) {
                Completed = true;
                host.TransferLog(klTrace, fstring("Client %s send finish", client));
                host.NotifyClient(ClientAddress, tsFinished, "");
            }
            ++block;
        }
    }
    if (!over) {
        host.TransferLog(klTrace, fstring("Client %s operation cancelled", client));
        host.NotifyClient(ClientAddress, tsCancelled, "");
        SendError(link, 0, "Operation cancelled");
    }
}

KTFTPSubProcess::BlockOutcome KTFTPSubProcess::SendBlock(KTFTPTransferHost& host, KTFTPLink& link,
                                                         const sockaddr_in& board, const unsigned char* packet,
                                                         int length, uint16_t block)
{
    const char* client = ClientAddress.c_str();
    unsigned char ack[PacketSize]; // apart from the block, so a resend carries the same bytes
    for (int sent = 0; sent < Transmissions; ++sent) {
        if (!link.Send(packet, HeaderSize + length)) {
            host.TransferLog(klError, fstring("Client %s error sending data to socket [%i]", client, link.LastError()));
            host.NotifyClient(ClientAddress, tsSendError, "");
            return BlockOutcome::Over;
        }
        DataBytes += static_cast<uint64_t>(length);
        Retransmissions += sent > 0 ? 1 : 0;
        const unsigned sentAt = KHostSystem::GetTick();
        // Anything but the awaited ACK (silence, a stranger, a stale or duplicate ACK) only
        // resends once the block has gone unanswered for long enough.
        while (KHostSystem::diffTime(sentAt, KHostSystem::GetTick()) <= ResendAfterMs) {
            sockaddr_in from{};
            int got = 0;
            const KTFTPLink::Wait wait = link.Receive(ack, sizeof ack, got, from, AckWaitMs);
            if (!host.IsServing())
                return BlockOutcome::Cancelled;
            if (wait == KTFTPLink::Wait::Refused) {
                // The board's kernel answered a block with port unreachable: nobody there takes
                // this transfer. Seen while waiting, but it is the block that was not delivered,
                // so it ends as a failed send does, with no ERROR packet to a closed port. A
                // request forged in a board's name causes it, so the line is budgeted.
                if (host.AllowLine(ClientAddress, "refused port", klError))
                    host.TransferLog(klError,
                                     fstring("Client %s error sending data to socket [%i]", client, link.LastError()));
                host.NotifyClient(ClientAddress, tsSendError, "");
                return BlockOutcome::Over;
            }
            if (wait == KTFTPLink::Wait::Failed) {
                host.NotifyClient(ClientAddress, tsAckError, "");
                host.TransferLog(klError, fstring("Error while waiting socket [%i] from %s", link.LastError(), client));
                SendError(link, 0, "Socket error while waiting ack");
                return BlockOutcome::Over;
            }
            if (wait == KTFTPLink::Wait::Datagram && IsAckOf(ack, got, from, board, block))
                return BlockOutcome::Acknowledged;
        }
    }
    host.NotifyClient(ClientAddress, tsAckTimeout, "");
    host.TransferLog(klWarning, fstring("Timed out waiting ack from %s", client));
    SendError(link, 0, "Timed out waiting ack");
    return BlockOutcome::Over;
}
