#include "platform/udp_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

sockaddr_in ToSockaddr(std::uint32_t address, std::uint16_t networkPort) {
    sockaddr_in socketAddress{};
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_addr.s_addr = address;
    socketAddress.sin_port = networkPort;
    return socketAddress;
}

} // namespace

SocketResult CreateUdpSocket() {
    const int handle = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (handle < 0)
        return {-1, errno};
    // Without it replies still go out, only from the address the system chooses.
    const int on = 1;
    setsockopt(handle, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    return {handle, 0};
}

int EnableAddressReuse(int handle) {
    const int on = 1;
    return setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 ? 0 : errno;
}

int BindSocket(int handle, std::uint32_t address, std::uint16_t port) {
    const sockaddr_in local = ToSockaddr(address, htons(port));
    return bind(handle, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 ? 0 : errno;
}

void CloseSocket(int handle) {
    if (handle >= 0)
        close(handle);
}

ReceiveResult ReceiveDatagram(int handle, int wakeHandle, std::span<std::uint8_t> buffer) {
    ReceiveResult result;
    pollfd waits[2] = {{handle, POLLIN, 0}, {wakeHandle, POLLIN, 0}};
    if (poll(waits, 2, -1) < 0) {
        result.error = errno;
        return result;
    }
    if ((waits[1].revents & POLLIN) != 0) {
        result.status = ReceiveStatus::Woken;
        return result;
    }
    sockaddr_in sender{};
    iovec data{buffer.data(), buffer.size()};
    alignas(cmsghdr) std::uint8_t control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr message{};
    message.msg_name = &sender;
    message.msg_namelen = sizeof sender;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    // MSG_TRUNC makes the call return the datagram's real length, so a cut-off datagram can be told apart.
    const ssize_t got = recvmsg(handle, &message, MSG_TRUNC | MSG_DONTWAIT);
    if (got < 0) {
        result.error = errno;
        return result;
    }
    result.status = ReceiveStatus::Received;
    result.truncated = static_cast<std::size_t>(got) > buffer.size();
    result.size = result.truncated ? buffer.size() : static_cast<std::size_t>(got);
    result.sender = {sender.sin_addr.s_addr, sender.sin_port};
    for (cmsghdr* item = CMSG_FIRSTHDR(&message); item != nullptr; item = CMSG_NXTHDR(&message, item)) {
        if (item->cmsg_level == IPPROTO_IP && item->cmsg_type == IP_PKTINFO) {
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(item), sizeof info);
            result.localAddress = info.ipi_addr.s_addr;
        }
    }
    return result;
}

int SendDatagram(int handle, std::span<const std::uint8_t> bytes, const SocketAddress& to, std::uint32_t from) {
    sockaddr_in target = ToSockaddr(to.address, to.port);
    iovec data{const_cast<std::uint8_t*>(bytes.data()), bytes.size()};
    alignas(cmsghdr) std::uint8_t control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr message{};
    message.msg_name = &target;
    message.msg_namelen = sizeof target;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    if (from != 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* item = CMSG_FIRSTHDR(&message);
        item->cmsg_level = IPPROTO_IP;
        item->cmsg_type = IP_PKTINFO;
        item->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_spec_dst.s_addr = from;
        std::memcpy(CMSG_DATA(item), &info, sizeof info);
    }
    return sendmsg(handle, &message, 0) < 0 ? errno : 0;
}

int CreateWakeHandle() { return eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

void SignalWake(int wakeHandle) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(wakeHandle, &one, sizeof one);
}

void CloseWakeHandle(int wakeHandle) {
    if (wakeHandle >= 0)
        close(wakeHandle);
}

bool WaitForWake(int wakeHandle, std::chrono::milliseconds timeout) {
    pollfd wait{wakeHandle, POLLIN, 0};
    return poll(&wait, 1, static_cast<int>(timeout.count())) > 0 && (wait.revents & POLLIN) != 0;
}
