// Bytes from the log server, through the real frame decoder: the input is what arrives on the
// connection (a local socket pair, no network), read by a KSocketIpcChannel frame after frame
// as the reload thread reads it, each received filter applied as the log manager applies it;
// then the same bytes read as log messages. Any input must end in frames, a socket exception
// at the end of the stream or a decoding exception, never a crash or an endless read; a
// received filter is always sent on in its fixed 29-entry form.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "Basekit/KBaseException.h"
#include "Basekit/KLogMessage.h"
#include "Basekit/KReloadMessage.h"
#include "Basekit/LM7/Basics/KClientSocket.h"
#include "Basekit/LM7/Basics/KSocketIpcChannel.h"
#include "fuzz/FuzzSupport.h"

namespace {

// Far below a local socket's buffer, so that the whole input is written before it is read.
const size_t MaxInput = 64 * 1024;

// A channel whose peer has sent the input and closed its end.
std::unique_ptr<basekit::KSocketIpcChannel> ChannelWith(const uint8_t* data, size_t size)
{
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        abort();
    size_t written = 0;
    while (written < size) {
        ssize_t sent = send(ends[1], data + written, size - written, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent <= 0)
            abort();
        written += static_cast<size_t>(sent);
    }
    close(ends[1]);
    return std::unique_ptr<basekit::KSocketIpcChannel>(
        new basekit::KSocketIpcChannel(std::unique_ptr<basekit::KClientSocket>(new basekit::KClientSocket(ends[0]))));
}

void CheckFilter(KLogFilter& received)
{
    received.IsActive(klTrace, klsTAVO, 2);
    received.IsActive(klTrace, klsConfig, 0xFFFFFFFFu);
    KLogFilter applied; // as the log manager takes over a received filter
    applied.CopyFrom(received);
    fuzz::Serialized(applied);
}

// Frames read as Message until the stream ends; each one handed to check.
template <class Message, class Check> void ReadFrames(const uint8_t* data, size_t size, Check check)
{
    std::unique_ptr<basekit::KSocketIpcChannel> channel = ChannelWith(data, size);
    // Each frame takes at least its 4-byte size, so the stream ends within size / 4 frames.
    for (size_t frames = 0; frames <= size / 4; ++frames) {
        Message message;
        try {
            if (!channel->Receive(message))
                return;
        } catch (const std::exception&) {
            return; // the stream ends inside a frame or a message is malformed: the connection is dropped
        }
        check(message);
    }
    abort(); // more frames than the bytes can hold
}

void CheckReload(KReloadMessage& message)
{
    try {
        if (message.GetType() == KReloadMessage::ktLogFilter)
            CheckFilter(message.GetLogFilter());
        else
            message.GetLogFilter(); // must refuse: only type 2 carries a filter
    } catch (const KBaseException&) {
        if (message.GetType() == KReloadMessage::ktLogFilter)
            abort();
    }
}

void CheckLog(basekit::KLogMessage& message)
{
    if (message.Name.size() >= basekit::KMAX_STRING_SIZE || message.Text.size() >= basekit::KMAX_STRING_SIZE)
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > MaxInput)
        size = MaxInput;
    ReadFrames<KReloadMessage>(data, size, CheckReload);
    ReadFrames<basekit::KLogMessage>(data, size, CheckLog);
    return 0;
}
