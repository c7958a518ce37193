#include "Tools/TAVO/KNETInterface.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <memory>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "Basekit/KByteReader.h"
#include "Basekit/KFileDescriptor.h"
#include "Basekit/KHostSystem.h"
#include "Basekit/KLogger.h"
#include "Basekit/KThreadMutex.h"
#include "Basekit/KThreadLifetimes.h"

std::atomic<bool> KNETInterface::AddressPollingStarted {false};

namespace {

const int NetlinkBufferSize = 32768;
const unsigned StartSettleMs = 250;
const size_t DatagramSize = 16384;
const size_t HeaderSize = sizeof(nlmsghdr); // 16

// The logger the polling thread writes to, handed over by StartAddressPolling before the
// thread starts; every use is on that thread or after that start.
std::atomic<KLogger*> PollLog {nullptr};
KLogger& Log()
{
    return *PollLog.load();
}

// The wake-up descriptor of the running polling thread, so that StopAddressPolling does not
// have to wait for the next address notification.
basekit::KThreadMutex& WakeMutex()
{
    static basekit::KThreadMutex mutex;
    return mutex;
}
int WakeFd = -1; // guarded by WakeMutex(); -1 when no thread listens

// The polling thread's lifetime. Never destroyed: a polling thread that outlives the stop path
// must not find it gone when static destructors have run.
KThreadLifetimes& PollThreads()
{
    static KThreadLifetimes* const lifetimes = new KThreadLifetimes;
    return *lifetimes;
}
thread_local bool OnPollThread = false;


kstring Dotted(const sockaddr* address)
{
    char text[INET_ADDRSTRLEN] = "";
    if (!address || address->sa_family != AF_INET)
        return kstring();
    // inet_ntop rather than inet_ntoa: same text, no shared static buffer between threads.
    const sockaddr_in* in = reinterpret_cast<const sockaddr_in*>(address);
    if (!inet_ntop(AF_INET, &in->sin_addr, text, sizeof(text)))
        return kstring();
    return kstring(text);
}

} // namespace

int KNETInterface::StartPerInterface(KThreadLifetimes& threads, const std::list<KNETInterfaceEx>& interfaces,
                                    const std::function<void(const KNETInterfaceEx&)>& run)
{
    if (interfaces.empty())
        return 5;
    std::vector<KThreadLifetimes::Body> bodies;
    for (const KNETInterfaceEx& iface : interfaces)
        bodies.push_back([run, iface](KThreadLifetimes::Token&) { run(iface); });
    if (threads.StartServers(std::move(bodies)) != 0)
        return 1;
    KHostSystem::Delay(StartSettleMs);
    return 0;
}

int KNETInterface::FindInterfaces(const std::list<kstring>& filter, std::list<KNETInterfaceEx>& out)
{
    out.clear();
    ifaddrs* raw = nullptr;
    if (::getifaddrs(&raw) != 0)
        return 1;
    std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> list(raw, ::freeifaddrs);

    for (const ifaddrs* entry = list.get(); entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET)
            continue;
        // Broadcast-capable only: boards are reached by broadcast. Down interfaces count.
        if ((entry->ifa_flags & (IFF_BROADCAST | IFF_LOOPBACK | IFF_POINTOPOINT)) != IFF_BROADCAST)
            continue;
        const kstring address = Dotted(entry->ifa_addr);
        if (!filter.empty()) {
            bool wanted = false;
            for (const kstring& allowed : filter)
                if (!allowed.empty() && allowed == address)
                    wanted = true;
            if (!wanted)
                continue;
        }
        KNETInterfaceEx record;
        record.Address = address;
        record.NetMask = Dotted(entry->ifa_netmask);
        record.BroadCast = Dotted(entry->ifa_broadaddr);
        // An address added without a broadcast address ("ip addr add" without "brd +") is
        // reported with the address itself as broadcast; replies sent there never reach a
        // board. The subnet's broadcast address is what the operator meant.
        if (record.BroadCast.empty() || record.BroadCast == "0.0.0.0" || record.BroadCast == address) {
            const in_addr_t host = inet_addr(address.c_str());
            const in_addr_t mask = inet_addr(record.NetMask.c_str());
            if (!record.NetMask.empty() && mask != 0xffffffffu) {
                in_addr_t broadcast = host | ~mask;
                char text[INET_ADDRSTRLEN] = "";
                if (inet_ntop(AF_INET, &broadcast, text, sizeof(text)))
                    record.BroadCast = text;
            }
        }
        out.push_back(record);
    }
    return 0;
}

void KNETInterface::StartAddressPolling(KNetAddRestarter* restarter, KLogger& log)
{
    if (!restarter)
        return;
    bool idle = false;
    if (!AddressPollingStarted.compare_exchange_strong(idle, true))
        return;
    PollLog = &log;
    const KThreadLifetimes::Outcome outcome = PollThreads().Start(
        KThreadLifetimes::Server, [restarter](KThreadLifetimes::Token&) { KNETInterface::NAPollThread(restarter); });
    if (outcome != KThreadLifetimes::Outcome::Started) {
        Log().Error("Error starting address polling thread...");
        KHostSystem::Delay(250);
        AddressPollingStarted = false;
    }
}

void KNETInterface::StopAddressPolling()
{
    if (!AddressPollingStarted.exchange(false))
        return;
    {
        basekit::KLockGuard lock(WakeMutex());
        if (WakeFd >= 0) {
            uint64_t one = 1;
            if (::write(WakeFd, &one, sizeof(one)) != static_cast<ssize_t>(sizeof(one)))
                Log().Warning("Could not wake the address polling thread");
            WakeFd = -1; // the thread closes its own descriptor
        }
    }
    KHostSystem::Delay(750);
    // Woken, the thread is normally gone by now. Its end is still waited for (bounded: a
    // Restart() in progress finishes first), so that nothing it uses, the restarter included,
    // is destroyed under it. Not from the polling thread itself, which cannot wait for its end.
    if (!OnPollThread)
        PollThreads().WaitIdle(KThreadLifetimes::After(5000));
}

bool KNETInterface::IsPollThreadRunning()
{
    return PollThreads().Count(KThreadLifetimes::Server) > 0;
}

unsigned int KNETInterface::DispatchAddressMessages(const unsigned char* data, size_t length,
                                                    KNetAddRestarter* restarter)
{
    basekit::KByteReader in(data, length);
    unsigned int changes = 0;
    while (in.remaining() >= HeaderSize) {
        const size_t start = in.position();
        nlmsghdr header;
        std::memcpy(&header, in.bytes(HeaderSize), HeaderSize);
        if (header.nlmsg_len < HeaderSize || header.nlmsg_len > length - start)
            break;
        if ((header.nlmsg_type == RTM_NEWADDR || header.nlmsg_type == RTM_DELADDR) && header.nlmsg_len > HeaderSize &&
            in.u8() == AF_INET) {
            // Only IPv4 matters: the servers listen on IPv4 addresses alone.
            // Also called outside the polling thread (tests, the fuzz target): no logger there.
            if (KLogger* log = PollLog.load())
                log->Notice("IP Address table changed..");
            ++changes;
            if (restarter)
                restarter->Restart();
        }
        const size_t aligned = NLMSG_ALIGN(header.nlmsg_len);
        if (aligned > length - start)
            break;
        in.seek(start + aligned);
    }
    return changes;
}

void* KNETInterface::NAPollThread(void* object)
{
    _NotifyThreadInit("Tools/TAVO/KNETInterface", "NAPollThread", __LINE__);
    OnPollThread = true;
    KNetAddRestarter* restarter = static_cast<KNetAddRestarter*>(object);
    if (!restarter)
        return nullptr;

    bool woken = false; // ended by StopAddressPolling, which has cleared the flag itself
    {
        basekit::KFileDescriptor netlink(::socket(AF_NETLINK, SOCK_RAW, NETLINK_ROUTE));
        basekit::KFileDescriptor wake(::eventfd(0, EFD_CLOEXEC));
        if (netlink.Get() < 0 || wake.Get() < 0) {
            Log().Error("Couldn't open AF_NETLINK socket");
            AddressPollingStarted = false;
            return nullptr;
        }
        int size = NetlinkBufferSize;
        bool sendBuffer = ::setsockopt(netlink.Get(), SOL_SOCKET, SO_SNDBUF, &size, sizeof(size)) == 0;
        bool receiveBuffer = ::setsockopt(netlink.Get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof(size)) == 0;
        if (!sendBuffer || !receiveBuffer) {
            Log().Error("Couldn't set AF_NETLINK socket buffer size");
            AddressPollingStarted = false;
            return nullptr;
        }
        sockaddr_nl local {};
        local.nl_family = AF_NETLINK;
        local.nl_pid = 0;
        local.nl_groups = RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
        if (::bind(netlink.Get(), reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
            Log().Error("Couldn't bind AF_NETLINK socket");
            AddressPollingStarted = false;
            return nullptr;
        }
        {
            basekit::KLockGuard lock(WakeMutex());
            if (!AddressPollingStarted)
                return nullptr; // stopped before we could listen
            WakeFd = wake.Get();
        }

        std::unique_ptr<unsigned char[]> buffer(new unsigned char[DatagramSize]);
        try {
            while (AddressPollingStarted) {
                pollfd wait[2] = {{netlink.Get(), POLLIN, 0}, {wake.Get(), POLLIN, 0}};
                if (::poll(wait, 2, -1) < 0) {
                    if (errno == EINTR)
                        continue;
                    Log().Error("Error in AF_NETLINK polling");
                    break;
                }
                if (wait[1].revents) {
                    woken = true;
                    break;
                }
                if (!AddressPollingStarted)
                    break;
                sockaddr_nl sender {};
                socklen_t senderLength = sizeof(sender);
                ssize_t received = ::recvfrom(netlink.Get(), buffer.get(), DatagramSize, 0,
                                              reinterpret_cast<sockaddr*>(&sender), &senderLength);
                if (received < 0) {
                    // An overrun of the socket buffer loses notifications, not the watch.
                    if (errno == EINTR || errno == EAGAIN || errno == ENOBUFS)
                        continue;
                    Log().Error("Error in AF_NETLINK polling");
                    break;
                }
                if (received == 0)
                    break;
                if (senderLength != sizeof(sockaddr_nl)) {
                    Log().Error("Error in AF_NETLINK polling sender address length");
                    break;
                }
                DispatchAddressMessages(buffer.get(), static_cast<size_t>(received), restarter);
            }
        } catch (const std::exception& e) {
            Log().Error("NAPollThread error: %s", e.what());
        } catch (...) {
            Log().Error("NAPollThread unknown error");
        }

        basekit::KLockGuard lock(WakeMutex());
        if (WakeFd == wake.Get())
            WakeFd = -1;
    } // both descriptors are closed here
    if (!woken)
        AddressPollingStarted = false;
    return nullptr;
}
