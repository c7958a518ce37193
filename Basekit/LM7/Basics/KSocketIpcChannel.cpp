#include "Basekit/LM7/Basics/KSocketIpcChannel.h"

namespace basekit {

KSocketIpcChannel::KSocketIpcChannel(std::unique_ptr<KClientSocket> socket)
    : Socket(std::move(socket)), Sender(Socket.get()), Receiver(Socket.get())
{
}

KSocketIpcChannel::~KSocketIpcChannel() = default;

void KSocketIpcChannel::Terminate()
{
    Sender.Terminate();
    Receiver.Terminate();
    Socket->Shutdown();
}

} // namespace basekit
