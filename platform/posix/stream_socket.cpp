#include "platform/stream_socket.h"

#include "platform/socket_address.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr std::size_t MostReadyInOneCall = 128;
constexpr int ListenBacklog = 128;

int Descriptor(SocketHandle handle) { return static_cast<int>(handle.value); }
int Epoll(StreamWatch watch) { return static_cast<int>(watch.value); }

StreamTransfer Transferred(ssize_t got, bool reading) {
    if (got > 0)
        return {static_cast<std::size_t>(got), false, false, 0};
    if (got == 0)
        return {0, false, reading, 0};
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return {0, true, false, 0};
    return {0, false, false, errno};
}

} // namespace

StreamWatchResult OpenStreamWatch() {
    const int epoll = epoll_create1(EPOLL_CLOEXEC);
    if (epoll < 0)
        return {{}, errno};
    return {{epoll}, 0};
}

void CloseStreamWatch(StreamWatch watch) {
    if (watch.value >= 0)
        close(Epoll(watch));
}

// An epoll descriptor is readable while one of its sockets is ready; the wait's read of it fails and changes
// nothing.
WakeHandle StreamWatchWake(StreamWatch watch) { return {watch.value}; }

SocketResult ListenOnStream(StreamWatch watch, std::uint32_t address, std::uint16_t port) {
    const int handle = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
    if (handle < 0)
        return {{}, errno};
    // Without it a restart could not bind while the last run's connections linger in TIME_WAIT.
    const int on = 1;
    setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in local = ToSockaddr(address, htons(port));
    int error = 0;
    if (bind(handle, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        listen(handle, ListenBacklog) != 0)
        error = errno;
    epoll_event event{EPOLLIN, {}};
    event.data.fd = handle;
    if (error == 0 && epoll_ctl(Epoll(watch), EPOLL_CTL_ADD, handle, &event) != 0)
        error = errno;
    if (error != 0) {
        close(handle);
        return {{}, error};
    }
    return {{handle}, 0};
}

AcceptedStream AcceptStream(StreamWatch watch, SocketHandle listener) {
    sockaddr_in peer{};
    socklen_t peerLength = sizeof peer;
    const int handle =
        accept4(Descriptor(listener), reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (handle < 0)
        return {{}, {}, 0, errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : errno};
    sockaddr_in local{};
    socklen_t localLength = sizeof local;
    getsockname(handle, reinterpret_cast<sockaddr*>(&local), &localLength);
    // Replies are written whole, each as soon as it is ready: there is nothing to gain from waiting for more.
    const int on = 1;
    setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    // The system would hold megabytes of replies for a client that reads none; the service's own bound on what
    // waits unread is to decide.
    const int sendBuffer = SendBufferSize;
    setsockopt(handle, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    AcceptedStream accepted{{handle}, {peer.sin_addr.s_addr, peer.sin_port}, local.sin_addr.s_addr, 0};
    epoll_event event{EPOLLIN | EPOLLRDHUP, {}};
    event.data.fd = handle;
    if (epoll_ctl(Epoll(watch), EPOLL_CTL_ADD, handle, &event) != 0) {
        accepted.error = errno;
        close(handle);
        accepted.handle = {};
    }
    return accepted;
}

StreamTransfer ReadStream(SocketHandle handle, std::span<std::uint8_t> into) {
    return Transferred(recv(Descriptor(handle), into.data(), into.size(), 0), true);
}

StreamTransfer WriteStream(SocketHandle handle, std::span<const std::uint8_t> bytes) {
    // A peer gone is an error of this connection, not a signal to the whole process.
    return Transferred(send(Descriptor(handle), bytes.data(), bytes.size(), MSG_NOSIGNAL), false);
}

int WatchStream(StreamWatch watch, SocketHandle handle, bool read, bool write) {
    epoll_event event{(read ? EPOLLIN | EPOLLRDHUP : 0u) | (write ? EPOLLOUT : 0u), {}};
    event.data.fd = Descriptor(handle);
    return epoll_ctl(Epoll(watch), EPOLL_CTL_MOD, Descriptor(handle), &event) == 0 ? 0 : errno;
}

void CloseStream(StreamWatch, SocketHandle handle) {
    // Closing takes the socket out of the watch.
    if (handle.value >= 0)
        close(Descriptor(handle));
}

std::size_t TakeReadyStreams(StreamWatch watch, std::span<const SocketHandle>, std::span<ReadyStream> ready) {
    epoll_event events[MostReadyInOneCall];
    const int most = static_cast<int>(std::min(ready.size(), MostReadyInOneCall));
    const int got = epoll_wait(Epoll(watch), events, most, 0);
    if (got <= 0)
        return 0;
    for (int i = 0; i < got; ++i) {
        const std::uint32_t what = events[i].events;
        // A failure or a hang-up shows when the socket is read.
        ready[i] = {events[i].data.fd, (what & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0,
                    (what & EPOLLOUT) != 0};
    }
    return static_cast<std::size_t>(got);
}
