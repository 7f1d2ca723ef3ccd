#include "platform/udp_socket.h"

#include "platform/socket_address.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t MostInOneCall = 64;

constexpr std::size_t MostWakes = 4;

int Descriptor(SocketHandle handle) { return static_cast<int>(handle.value); }

using PacketInfoSpace = std::array<std::uint8_t, CMSG_SPACE(sizeof(in_pktinfo))>;

} // namespace

SocketResult CreateUdpSocket() {
    const int handle = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (handle < 0)
        return {{}, errno};
    // Without it replies still go out, only from the address the system chooses.
    const int on = 1;
    setsockopt(handle, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    return {{handle}, 0};
}

// With SO_REUSEADDR Linux gives the datagrams to an address to the socket bound to that address.
int SetServerSocketOptions(SocketHandle handle) {
    const int on = 1;
    return setsockopt(Descriptor(handle), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 ? 0 : errno;
}

int BindSocket(SocketHandle handle, std::uint32_t address, std::uint16_t port) {
    const sockaddr_in local = ToSockaddr(address, htons(port));
    return bind(Descriptor(handle), reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 ? 0 : errno;
}

void CloseSocket(SocketHandle handle) {
    if (handle.value >= 0)
        close(Descriptor(handle));
}

int ProbeUdpPort(std::uint32_t address, std::uint16_t port) {
    const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (probe < 0)
        return errno;
    const sockaddr_in local = ToSockaddr(address, htons(port));
    const int error = bind(probe, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 ? 0 : errno;
    close(probe);
    return error;
}

bool IsPortHeld(int error) { return error == EADDRINUSE; }

namespace {

// The inodes of this process's sockets, which its descriptors name "socket:[INODE]".
std::vector<std::uint64_t> OwnSocketInodes() {
    std::vector<std::uint64_t> inodes;
    DIR* descriptors = opendir("/proc/self/fd");
    if (descriptors == nullptr)
        return inodes;
    while (const dirent* item = readdir(descriptors)) {
        char target[64];
        const ssize_t length = readlinkat(dirfd(descriptors), item->d_name, target, sizeof target - 1);
        if (length <= 0)
            continue;
        target[length] = '\0';
        std::uint64_t inode = 0;
        if (std::sscanf(target, "socket:[%" SCNu64 "]", &inode) == 1)
            inodes.push_back(inode);
    }
    closedir(descriptors);
    return inodes;
}

} // namespace

std::optional<UdpSocketOwner> FindUdpSocketOwner(std::uint32_t address, std::uint16_t port) {
    // Through /proc/self: /proc/net is missing where /proc shows processes only (systemd's ProcSubset=pid). The
    // table lists every UDP socket of the network namespace, whoever holds it, with its owner's user id.
    std::FILE* table = std::fopen("/proc/self/net/udp", "re");
    if (table == nullptr)
        return std::nullopt;
    const std::vector<std::uint64_t> ours = OwnSocketInodes();
    const uid_t user = geteuid();
    std::optional<UdpSocketOwner> found;
    char line[512];
    while (std::fgets(line, sizeof line, table) != nullptr) {
        unsigned localAddress = 0, localPort = 0, uid = 0;
        std::uint64_t inode = 0;
        if (std::sscanf(line, " %*u: %8X:%4X %*X:%*X %*X %*X:%*X %*X:%*X %*X %u %*u %" SCNu64, &localAddress,
                        &localPort, &uid, &inode) != 4 ||
            localPort != ntohs(port) || (localAddress != address && localAddress != INADDR_ANY))
            continue;
        const UdpSocketOwner owner{std::find(ours.begin(), ours.end(), inode) != ours.end(), uid == user, uid == 0};
        found = found ? CommonOwner(*found, owner) : owner;
    }
    std::fclose(table);
    return found;
}

namespace {

// Waits until the socket has a datagram, a wake-up came or the time is up; true for a wake-up, whose signals are
// then used up.
bool WaitForDatagramOrWake(SocketHandle handle, std::span<const WakeHandle> wakes, std::chrono::milliseconds wait,
                           int& error) {
    pollfd waits[1 + MostWakes] = {};
    const std::size_t wakeCount = std::min(wakes.size(), MostWakes);
    waits[0] = {Descriptor(handle), POLLIN, 0};
    for (std::size_t i = 0; i < wakeCount; ++i)
        waits[1 + i] = {static_cast<int>(wakes[i].value), POLLIN, 0};
    // WaitForever is -1, poll's own "no time-out"; a day is as good as none.
    const int timeout = static_cast<int>(std::min<std::chrono::milliseconds::rep>(wait.count(), 24 * 3600 * 1000));
    if (poll(waits, 1 + wakeCount, timeout) < 0) {
        error = errno == EINTR ? 0 : errno;
        return false;
    }
    bool woken = false;
    for (std::size_t i = 0; i < wakeCount; ++i) {
        if ((waits[1 + i].revents & POLLIN) != 0) {
            std::uint64_t count;
            [[maybe_unused]] const ssize_t got = read(waits[1 + i].fd, &count, sizeof count);
            woken = true;
        }
    }
    return woken;
}

// Where recvmmsg puts a batch: each datagram's header, buffer, sender and packet information.
struct ReceiveBatch {
    mmsghdr messages[MostInOneCall] = {};
    iovec data[MostInOneCall];
    sockaddr_in senders[MostInOneCall];
    PacketInfoSpace controls[MostInOneCall];
    std::size_t most = 0;
};

void PrepareBatch(ReceiveBatch& batch, std::span<DatagramBuffer> buffers) {
    for (std::size_t i = 0; i < batch.most; ++i) {
        batch.data[i] = {buffers[i].data(), buffers[i].size()};
        msghdr& header = batch.messages[i].msg_hdr;
        header.msg_name = &batch.senders[i];
        header.msg_namelen = sizeof batch.senders[i];
        header.msg_iov = &batch.data[i];
        header.msg_iovlen = 1;
        header.msg_control = batch.controls[i].data();
        header.msg_controllen = batch.controls[i].size();
    }
}

// The datagrams waiting, without waiting: their count, or -1 with errno set.
int TakeWaiting(SocketHandle handle, ReceiveBatch& batch) {
    return recvmmsg(Descriptor(handle), batch.messages, static_cast<unsigned>(batch.most), MSG_DONTWAIT, nullptr);
}

// What the system told of the datagram received into a buffer of `capacity` bytes.
ReceivedDatagram DescribeDatagram(mmsghdr& message, const sockaddr_in& sender, std::size_t capacity) {
    msghdr& header = message.msg_hdr;
    ReceivedDatagram datagram;
    datagram.truncated = (header.msg_flags & MSG_TRUNC) != 0;
    datagram.size = std::min<std::size_t>(message.msg_len, capacity);
    datagram.sender = {sender.sin_addr.s_addr, sender.sin_port};
    for (cmsghdr* item = CMSG_FIRSTHDR(&header); item != nullptr; item = CMSG_NXTHDR(&header, item)) {
        if (item->cmsg_level == IPPROTO_IP && item->cmsg_type == IP_PKTINFO) {
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(item), sizeof info);
            datagram.destination = info.ipi_addr.s_addr;
            datagram.interfaceAddress = info.ipi_spec_dst.s_addr;
        }
    }
    return datagram;
}

} // namespace

ReceiveResult ReceiveDatagrams(SocketHandle handle, std::span<const WakeHandle> wakes,
                               std::span<DatagramBuffer> buffers, std::span<ReceivedDatagram> received,
                               std::chrono::milliseconds wait) {
    ReceiveBatch batch;
    batch.most = std::min({buffers.size(), received.size(), MostInOneCall});
    PrepareBatch(batch, buffers);
    // Tried first without waiting: while the data keeps coming there is nothing to wait for.
    int got = TakeWaiting(handle, batch);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (wait == NoWait)
            return {0, 0};
        int error = 0;
        if (WaitForDatagramOrWake(handle, wakes, wait, error) || error != 0)
            return {0, error};
        got = TakeWaiting(handle, batch);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return {0, 0};
    }
    if (got < 0)
        return {0, errno == EINTR ? 0 : errno};
    for (std::size_t i = 0; i < static_cast<std::size_t>(got); ++i)
        received[i] = DescribeDatagram(batch.messages[i], batch.senders[i], buffers[i].size());
    return {static_cast<std::size_t>(got), 0};
}

void SendDatagrams(SocketHandle handle, std::span<OutgoingDatagram> datagrams) {
    while (!datagrams.empty()) {
        const std::size_t count = std::min(datagrams.size(), MostInOneCall);
        mmsghdr messages[MostInOneCall] = {};
        iovec data[MostInOneCall];
        sockaddr_in targets[MostInOneCall];
        PacketInfoSpace controls[MostInOneCall] = {};
        for (std::size_t i = 0; i < count; ++i) {
            const OutgoingDatagram& datagram = datagrams[i];
            targets[i] = ToSockaddr(datagram.to.address, datagram.to.port);
            data[i] = {const_cast<std::uint8_t*>(datagram.bytes.data()), datagram.bytes.size()};
            msghdr& header = messages[i].msg_hdr;
            header.msg_name = &targets[i];
            header.msg_namelen = sizeof targets[i];
            header.msg_iov = &data[i];
            header.msg_iovlen = 1;
            if (datagram.from != 0) {
                header.msg_control = controls[i].data();
                header.msg_controllen = controls[i].size();
                cmsghdr* item = CMSG_FIRSTHDR(&header);
                item->cmsg_level = IPPROTO_IP;
                item->cmsg_type = IP_PKTINFO;
                item->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
                in_pktinfo info{};
                info.ipi_spec_dst.s_addr = datagram.from;
                std::memcpy(CMSG_DATA(item), &info, sizeof info);
            }
        }
        int sent;
        do
            sent = sendmmsg(Descriptor(handle), messages, static_cast<unsigned>(count), 0);
        while (sent < 0 && errno == EINTR);
        if (sent < 0) {
            // The first datagram failed: it alone is given up, the rest are tried again.
            datagrams[0].error = errno;
            sent = 1;
        }
        datagrams = datagrams.subspan(static_cast<std::size_t>(sent));
    }
}
