#include "platform/udp_socket.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr std::size_t MostInOneCall = 64;

int Descriptor(SocketHandle handle) { return static_cast<int>(handle.value); }
int Descriptor(WakeHandle handle) { return static_cast<int>(handle.value); }

sockaddr_in ToSockaddr(std::uint32_t address, std::uint16_t networkPort) {
    sockaddr_in socketAddress{};
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_addr.s_addr = address;
    socketAddress.sin_port = networkPort;
    return socketAddress;
}

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

int EnableAddressReuse(SocketHandle handle) {
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

ReceiveResult ReceiveDatagrams(SocketHandle handle, WakeHandle wake, std::span<DatagramBuffer> buffers,
                               std::span<ReceivedDatagram> received) {
    const std::size_t most = std::min({buffers.size(), received.size(), MostInOneCall});
    mmsghdr messages[MostInOneCall] = {};
    iovec data[MostInOneCall];
    sockaddr_in senders[MostInOneCall];
    PacketInfoSpace controls[MostInOneCall];
    for (std::size_t i = 0; i < most; ++i) {
        data[i] = {buffers[i].data(), buffers[i].size()};
        msghdr& header = messages[i].msg_hdr;
        header.msg_name = &senders[i];
        header.msg_namelen = sizeof senders[i];
        header.msg_iov = &data[i];
        header.msg_iovlen = 1;
        header.msg_control = controls[i].data();
        header.msg_controllen = controls[i].size();
    }
    const int got = recvmmsg(Descriptor(handle), messages, static_cast<unsigned>(most), MSG_WAITFORONE, nullptr);
    if (got < 0)
        return {0, errno == EINTR ? 0 : errno};
    for (std::size_t i = 0; i < static_cast<std::size_t>(got); ++i) {
        msghdr& header = messages[i].msg_hdr;
        ReceivedDatagram& datagram = received[i];
        datagram.truncated = (header.msg_flags & MSG_TRUNC) != 0;
        datagram.size = std::min<std::size_t>(messages[i].msg_len, buffers[i].size());
        datagram.sender = {senders[i].sin_addr.s_addr, senders[i].sin_port};
        datagram.wake = datagram.sender.address == wake.address && datagram.sender.port == wake.port;
        datagram.localAddress = 0;
        for (cmsghdr* item = CMSG_FIRSTHDR(&header); item != nullptr; item = CMSG_NXTHDR(&header, item)) {
            if (item->cmsg_level == IPPROTO_IP && item->cmsg_type == IP_PKTINFO) {
                in_pktinfo info{};
                std::memcpy(&info, CMSG_DATA(item), sizeof info);
                // The interface's own address, not the header's destination, which may be a broadcast address
                // that no reply can leave from.
                datagram.localAddress = info.ipi_spec_dst.s_addr;
            }
        }
    }
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

WakeHandle CreateWakeHandle(std::uint32_t address, std::uint16_t port) {
    const int handle = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (handle < 0)
        return {};
    const sockaddr_in target = ToSockaddr(address != 0 ? address : htonl(INADDR_LOOPBACK), htons(port));
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (connect(handle, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0 ||
        getsockname(handle, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        close(handle);
        return {};
    }
    return {handle, local.sin_addr.s_addr, local.sin_port};
}

void SignalWake(WakeHandle wake) {
    const std::uint8_t nudge = 0;
    [[maybe_unused]] const ssize_t sent = send(Descriptor(wake), &nudge, sizeof nudge, MSG_DONTWAIT);
}

void CloseWakeHandle(WakeHandle wake) {
    if (wake.value >= 0)
        close(Descriptor(wake));
}
