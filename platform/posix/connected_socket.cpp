#include "platform/connected_socket.h"

#include "platform/socket_address.h"

#include <algorithm>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int Descriptor(SocketHandle handle) { return static_cast<int>(handle.value); }

} // namespace

SocketResult CreateConnectedUdpSocket(SocketAddress server, WakeHandle) {
    const int handle = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_UDP);
    if (handle < 0)
        return {{}, errno};
    const sockaddr_in peer = ToSockaddr(server.address, server.port);
    // The connect binds the socket to a port that Linux picks at random from its ephemeral range.
    if (connect(handle, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
        const int error = errno;
        close(handle);
        return {{}, error};
    }
    return {{handle}, 0};
}

int SendConnected(SocketHandle handle, std::span<const std::uint8_t> bytes) {
    ssize_t sent;
    do
        sent = send(Descriptor(handle), bytes.data(), bytes.size(), 0);
    while (sent < 0 && errno == EINTR);
    return sent < 0 ? errno : 0;
}

ConnectedReceive ReceiveConnected(SocketHandle handle, std::span<std::uint8_t> buffer) {
    ssize_t got;
    // MSG_TRUNC: the datagram's own length, also when it was longer than the buffer.
    do
        got = recv(Descriptor(handle), buffer.data(), buffer.size(), MSG_TRUNC);
    while (got < 0 && errno == EINTR);
    if (got < 0)
        return {false, 0, false, errno == EAGAIN || errno == EWOULDBLOCK ? 0 : errno};
    const auto length = static_cast<std::size_t>(got);
    return {true, std::min(length, buffer.size()), length > buffer.size(), 0};
}

SocketResult StartTcpConnection(SocketAddress server, WakeHandle) {
    const int handle = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
    if (handle < 0)
        return {{}, errno};
    const sockaddr_in peer = ToSockaddr(server.address, server.port);
    // Interrupted, it goes on as one under way.
    if (connect(handle, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0 && errno != EINPROGRESS &&
        errno != EINTR) {
        const int error = errno;
        close(handle);
        return {{}, error};
    }
    return {{handle}, 0};
}

int WaitForSockets(std::span<const SocketWait> sockets, WakeHandle wake, std::chrono::milliseconds wait,
                   std::vector<std::size_t>& ready) {
    ready.clear();
    std::vector<pollfd> waits(sockets.size() + 1);
    for (std::size_t i = 0; i < sockets.size(); ++i)
        waits[i] = {Descriptor(sockets[i].handle), static_cast<short>(sockets[i].toSend ? POLLOUT : POLLIN), 0};
    waits.back() = {static_cast<int>(wake.value), POLLIN, 0};
    // WaitForever is -1, poll's own "no time-out"; a day is as good as none.
    const int timeout = static_cast<int>(std::min<std::chrono::milliseconds::rep>(wait.count(), 24 * 3600 * 1000));
    if (poll(waits.data(), waits.size(), timeout) < 0)
        return errno == EINTR ? 0 : errno;
    // An error (POLLERR, a refusal) counts too: the send or receive tells it.
    for (std::size_t i = 0; i < sockets.size(); ++i)
        if (waits[i].revents != 0)
            ready.push_back(i);
    if ((waits.back().revents & POLLIN) != 0) {
        std::uint64_t count;
        [[maybe_unused]] const ssize_t got = read(waits.back().fd, &count, sizeof count);
    }
    return 0;
}
