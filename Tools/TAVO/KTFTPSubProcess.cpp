#include "Tools/TAVO/KTFTPSubProcess.h"

#include <arpa/inet.h>
#include <cerrno>
#include <memory>
#include <sys/uio.h>
#include <unistd.h>

#include "Basekit/KByteReader.h"
#include "Basekit/KByteWriter.h"
#include "Basekit/KHostSystem.h"
#include "Basekit/KWireText.h"
#include "Tools/TAVO/KTFTPServer.h"
#include "Tools/TAVO/KUDPSock.h"

namespace {

const int BlockSize = 512;
const int HeaderSize = 4; // opcode, block number
const int PacketSize = HeaderSize + BlockSize;
const int Transmissions = 6;       // sends of one block before giving up
const int AckWaitMs = 2000;        // one receive
const unsigned ResendAfterMs = 6000; // since the block's last transmission
const uint16_t OpData = 3;
const uint16_t OpAck = 4;

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : Fd(fd) {}
    ~FileDescriptor()
    {
        if (Fd >= 0)
            close(Fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int Get() const { return Fd; }

private:
    int Fd;
};

// Reads the file ahead into whole DATA packets: one readv fills the data part of up to
// Slots packets in place, so a block costs neither a read call nor a copy of its own and a
// retransmission sends the very same bytes.
class BlockSource {
public:
    static const int Slots = 64;

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

} // namespace

KTFTPSubProcess::KTFTPSubProcess(KTFTPServer* server, std::string fileName, std::string localAddress,
                                 std::string clientAddress, uint32_t clientPort)
    : Server(server), FileName(std::move(fileName)), LocalAddress(std::move(localAddress)),
      ClientAddress(std::move(clientAddress)), ClientPort(clientPort)
{
}

void KTFTPSubProcess::Transfer()
{
    KTFTPServer& server = *Server;
    const char* client = ClientAddress.c_str();

    // The name came off the wire: logged escaped, so that it cannot end the line.
    const std::string shown = basekit::EscapeWireText(FileName);

    // Port 0: a fresh port per transfer, so the board's acknowledgements reach this thread.
    KUDPSock socket(LocalAddress, 0, true);
    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(static_cast<uint16_t>(ClientPort));
    destination.sin_addr.s_addr = inet_addr(client);
    // Connected, so that the ICMP port unreachable of a board that did not send the request (a
    // forged one in its name) ends the transfer at once instead of holding the board busy
    // through six unanswered sends; it also keeps datagrams of other senders out.
    if (!socket.Connect(destination)) {
        server.Logger.Error("Client %s error sending data to socket [%i]", client, socket.LastError);
        server.NotifyClient(ClientAddress, tsSendError, "");
        return;
    }

    bool over = false;
    {
        // Confined to the firmware directory: the requested name is relative to it.
        const std::string& directory = server.FirmwarePath;
        const bool inside = FileName.compare(0, directory.size(), directory) == 0;
        FileDescriptor file(inside ? server.OpenFirmwareFile(FileName.substr(directory.size())) : -1);
        if (file.Get() < 0) {
            server.Logger.Warning("Client %s file [%s] not found!", client, shown.c_str());
            server.NotifyClient(ClientAddress, tsFileNotFound, "");
            server.SendErrorPacket(&socket, 1, "File not found", &destination);
            return;
        }
        server.Logger.Trace("Client %s sending file: %s", client, shown.c_str());
        server.NotifyClient(ClientAddress, tsSending, shown);

        BlockSource blocks(file.Get());
        uint16_t block = 1; // wraps from 65535 to 0
        while (server.Threads.IsRunning() && !over) {
            int length = 0;
            unsigned char* packet = blocks.Next(length);
            if (!packet) {
                server.Logger.Error("Error reading file %s", shown.c_str());
                server.NotifyClient(ClientAddress, tsReadError, "");
                server.SendErrorPacket(&socket, 0, "Error reading file", &destination);
                over = true;
                break;
            }
            basekit::KByteWriter header(packet, HeaderSize);
            header.u16be(OpData);
            header.u16be(block);
            const BlockOutcome outcome = SendBlock(socket, destination, packet, length, block);
            if (outcome == BlockOutcome::Cancelled)
                break;
            over = outcome == BlockOutcome::Over || length < BlockSize;
            if (outcome == BlockOutcome::Acknowledged && length < BlockSize) {
                server.Logger.Trace("Client %s send finish", client);
                server.NotifyClient(ClientAddress, tsFinished, "");
            }
            ++block;
        }
    }
    if (!over) {
        server.Logger.Trace("Client %s operation cancelled", client);
        server.NotifyClient(ClientAddress, tsCancelled, "");
        server.SendErrorPacket(&socket, 0, "Operation cancelled", &destination);
    }
}

KTFTPSubProcess::BlockOutcome KTFTPSubProcess::SendBlock(KUDPSock& socket, sockaddr_in& destination,
                                                         const unsigned char* packet, int length, uint16_t block)
{
    KTFTPServer& server = *Server;
    const char* client = ClientAddress.c_str();
    unsigned char ack[PacketSize]; // apart from the block, so a resend carries the same bytes
    for (int sent = 0; sent < Transmissions; ++sent) {
        if (socket.Send(packet, HeaderSize + length, &destination) != HeaderSize + length) {
            server.Logger.Error("Client %s error sending data to socket [%i]", client, socket.LastError);
            server.NotifyClient(ClientAddress, tsSendError, "");
            return BlockOutcome::Over;
        }
        const unsigned sentAt = KHostSystem::GetTick();
        // Anything but the awaited ACK (silence, a stranger, a stale or duplicate ACK) only
        // resends once the block has gone unanswered for long enough.
        while (KHostSystem::diffTime(sentAt, KHostSystem::GetTick()) <= ResendAfterMs) {
            sockaddr_in from{};
            int got = socket.Receive(ack, sizeof ack, &from, AckWaitMs);
            if (!server.Threads.IsRunning())
                return BlockOutcome::Cancelled;
            if (got == -3 && socket.LastError == ECONNREFUSED) {
                // The board's kernel answered a block with port unreachable: nobody there takes
                // this transfer. Seen while waiting, but it is the block that was not delivered,
                // so it ends as a failed send does, with no ERROR packet to a closed port. A
                // request forged in a board's name causes it, so the line is budgeted.
                if (server.Budget.Allow(ClientAddress, "refused port", klError))
                    server.Logger.Error("Client %s error sending data to socket [%i]", client, socket.LastError);
                server.NotifyClient(ClientAddress, tsSendError, "");
                return BlockOutcome::Over;
            }
            if (got == -2 || got == -3) {
                server.NotifyClient(ClientAddress, tsAckError, "");
                server.Logger.Error("Error while waiting socket [%i] from %s", socket.LastError, client);
                server.SendErrorPacket(&socket, 0, "Socket error while waiting ack", &destination);
                return BlockOutcome::Over;
            }
            if (IsAckOf(ack, got, from, destination, block))
                return BlockOutcome::Acknowledged;
        }
    }
    server.NotifyClient(ClientAddress, tsAckTimeout, "");
    server.Logger.Warning("Timed out waiting ack from %s", client);
    server.SendErrorPacket(&socket, 0, "Timed out waiting ack", &destination);
    return BlockOutcome::Over;
}
