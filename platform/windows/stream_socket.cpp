#include "platform/stream_socket.h"

#include "platform/socket_address.h"

#include <winsock2.h>

// These need winsock2.h before them.
#include <ws2tcpip.h>

#include <algorithm>

// Every socket of the watch signals one event: Windows waits on at most 64 handles, and a service with 64
// connections has more sockets than that. Whoever takes the event tries every socket; each operation that finds
// nothing to do arms its socket's signal again.

namespace {

SOCKET Native(SocketHandle handle) { return static_cast<SOCKET>(handle.value); }
WSAEVENT Event(StreamWatch watch) { return reinterpret_cast<WSAEVENT>(watch.value); }

constexpr long ConnectionEvents = FD_READ | FD_WRITE | FD_CLOSE;

StreamTransfer Transferred(int got, bool reading) {
    if (got > 0)
        return {static_cast<std::size_t>(got), false, false, 0};
    if (got == 0)
        return {0, false, reading, 0};
    const int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK || error == WSAEINTR)
        return {0, true, false, 0};
    return {0, false, false, error};
}

} // namespace

StreamWatchResult OpenStreamWatch() {
    const WSAEVENT event = WSACreateEvent();
    if (event == WSA_INVALID_EVENT)
        return {{}, WSAGetLastError()};
    return {{reinterpret_cast<std::intptr_t>(event)}, 0};
}

void CloseStreamWatch(StreamWatch watch) {
    if (watch.value != -1)
        WSACloseEvent(Event(watch));
}

WakeHandle StreamWatchWake(StreamWatch watch) { return {watch.value}; }

SocketResult ListenOnStream(StreamWatch watch, std::uint32_t address, std::uint16_t port) {
    const SOCKET handle = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (handle == INVALID_SOCKET)
        return {{}, WSAGetLastError()};
    // Windows would otherwise let another program bind the port from under us.
    const BOOL on = TRUE;
    setsockopt(handle, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
    const sockaddr_in local = ToSockaddr(address, htons(port));
    // The event makes the socket non-blocking.
    if (bind(handle, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 || listen(handle, SOMAXCONN) != 0 ||
        WSAEventSelect(handle, Event(watch), FD_ACCEPT) != 0) {
        const int error = WSAGetLastError();
        closesocket(handle);
        return {{}, error};
    }
    return {{static_cast<std::intptr_t>(handle)}, 0};
}

AcceptedStream AcceptStream(StreamWatch watch, SocketHandle listener) {
    sockaddr_in peer{};
    int peerLength = sizeof peer;
    const SOCKET handle = accept(Native(listener), reinterpret_cast<sockaddr*>(&peer), &peerLength);
    if (handle == INVALID_SOCKET) {
        const int error = WSAGetLastError();
        return {{}, {}, 0, error == WSAEWOULDBLOCK || error == WSAEINTR ? 0 : error};
    }
    sockaddr_in local{};
    int localLength = sizeof local;
    getsockname(handle, reinterpret_cast<sockaddr*>(&local), &localLength);
    const BOOL on = TRUE;
    setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    const int sendBuffer = SendBufferSize;
    setsockopt(handle, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&sendBuffer), sizeof sendBuffer);
    AcceptedStream accepted{
        {static_cast<std::intptr_t>(handle)}, {peer.sin_addr.s_addr, peer.sin_port}, local.sin_addr.s_addr, 0};
    if (WSAEventSelect(handle, Event(watch), ConnectionEvents) != 0) {
        accepted.error = WSAGetLastError();
        closesocket(handle);
        accepted.handle = {};
    }
    return accepted;
}

StreamTransfer ReadStream(SocketHandle handle, std::span<std::uint8_t> into) {
    const int most = static_cast<int>(std::min<std::size_t>(into.size(), 1 << 30));
    return Transferred(recv(Native(handle), reinterpret_cast<char*>(into.data()), most, 0), true);
}

StreamTransfer WriteStream(SocketHandle handle, std::span<const std::uint8_t> bytes) {
    const int most = static_cast<int>(std::min<std::size_t>(bytes.size(), 1 << 30));
    return Transferred(send(Native(handle), reinterpret_cast<const char*>(bytes.data()), most, 0), false);
}

// Every connection is tried whenever the event comes; there is nothing to choose.
int WatchStream(StreamWatch, SocketHandle, bool, bool) { return 0; }

void CloseStream(StreamWatch, SocketHandle handle) {
    if (handle.value >= 0)
        closesocket(Native(handle));
}

std::size_t TakeReadyStreams(StreamWatch watch, std::span<const SocketHandle> watched, std::span<ReadyStream> ready) {
    if (WaitForSingleObject(Event(watch), 0) != WAIT_OBJECT_0)
        return 0;
    // Reset before the sockets are tried: what comes while they are is signalled anew.
    WSAResetEvent(Event(watch));
    const std::size_t count = std::min(watched.size(), ready.size());
    for (std::size_t i = 0; i < count; ++i)
        ready[i] = {watched[i].value, true, true};
    return count;
}
