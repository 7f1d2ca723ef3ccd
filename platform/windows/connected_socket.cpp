#include "platform/connected_socket.h"

#include "platform/socket_address.h"

#include "platform/random.h"

#include <winsock2.h>

// These need winsock2.h before them.
#include <ws2tcpip.h>

#include <algorithm>

namespace {

SOCKET Native(SocketHandle handle) { return static_cast<SOCKET>(handle.value); }

// Ports are tried at random among the dynamic ones before the system's choice, which may come in sequence.
constexpr std::uint16_t FirstDynamicPort = 49152;
constexpr int RandomPortTries = 16;

void BindRandomPort(SOCKET handle) {
    for (int i = 0; i < RandomPortTries; ++i) {
        std::uint16_t random = 0;
        if (!FillRandom(std::span(reinterpret_cast<std::uint8_t*>(&random), sizeof random)))
            break;
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(static_cast<std::uint16_t>(FirstDynamicPort + random % (65536 - FirstDynamicPort)));
        // Taken or reserved (Hyper-V holds ranges): another one.
        if (bind(handle, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0)
            return;
    }
}

} // namespace

SocketResult CreateConnectedUdpSocket(SocketAddress server, WakeHandle wake) {
    const SOCKET handle = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (handle == INVALID_SOCKET)
        return {{}, WSAGetLastError()};
    BindRandomPort(handle);
    const sockaddr_in peer = ToSockaddr(server.address, server.port);
    // The event select makes the socket non-blocking; its datagrams set the wake-up's event, so that one wait
    // covers every socket, beyond WaitForMultipleObjects' 64 handles.
    if (connect(handle, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0 ||
        WSAEventSelect(handle, reinterpret_cast<WSAEVENT>(wake.value), FD_READ) != 0) {
        const int error = WSAGetLastError();
        closesocket(handle);
        return {{}, error};
    }
    return {{static_cast<std::intptr_t>(handle)}, 0};
}

int SendConnected(SocketHandle handle, std::span<const std::uint8_t> bytes) {
    const int sent =
        send(Native(handle), reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0);
    return sent == SOCKET_ERROR ? WSAGetLastError() : 0;
}

ConnectedReceive ReceiveConnected(SocketHandle handle, std::span<std::uint8_t> buffer) {
    const int got = recv(Native(handle), reinterpret_cast<char*>(buffer.data()), static_cast<int>(buffer.size()), 0);
    if (got != SOCKET_ERROR)
        return {true, static_cast<std::size_t>(got), false, 0};
    const int error = WSAGetLastError();
    if (error == WSAEMSGSIZE)
        return {true, buffer.size(), true, 0}; // the buffer is full, the tail lost
    return {false, 0, false, error == WSAEWOULDBLOCK ? 0 : error};
}

SocketResult StartTcpConnection(SocketAddress server, WakeHandle wake) {
    const SOCKET handle = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (handle == INVALID_SOCKET)
        return {{}, WSAGetLastError()};
    const sockaddr_in peer = ToSockaddr(server.address, server.port);
    // The event select makes the socket non-blocking, so the connect only begins; its completion, room to send,
    // data and the server's close set the wake-up's event. WSAPoll before Windows 10 2004 does not tell a failed
    // connect: such an exchange waits out its caller's time.
    if (WSAEventSelect(handle, reinterpret_cast<WSAEVENT>(wake.value), FD_CONNECT | FD_WRITE | FD_READ | FD_CLOSE) !=
            0 ||
        (connect(handle, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0 &&
         WSAGetLastError() != WSAEWOULDBLOCK)) {
        const int error = WSAGetLastError();
        closesocket(handle);
        return {{}, error};
    }
    return {{static_cast<std::intptr_t>(handle)}, 0};
}

namespace {

// The sockets that are ready or have an error now, without waiting.
int PollSockets(std::span<const SocketWait> sockets, std::vector<std::size_t>& ready) {
    if (sockets.empty())
        return 0;
    std::vector<WSAPOLLFD> polls(sockets.size());
    for (std::size_t i = 0; i < sockets.size(); ++i)
        polls[i] = {Native(sockets[i].handle), static_cast<SHORT>(sockets[i].toSend ? POLLWRNORM : POLLRDNORM), 0};
    if (WSAPoll(polls.data(), static_cast<ULONG>(polls.size()), 0) == SOCKET_ERROR)
        return WSAGetLastError();
    for (std::size_t i = 0; i < sockets.size(); ++i)
        if (polls[i].revents != 0)
            ready.push_back(i);
    return 0;
}

} // namespace

// WSAPoll cannot wait for an event, and WaitForMultipleObjects not for more than 64: the sockets signal the
// wake-up's own event (CreateConnectedUdpSocket, StartTcpConnection), which is waited for, and a poll that does not
// wait tells which.
int WaitForSockets(std::span<const SocketWait> sockets, WakeHandle wake, std::chrono::milliseconds wait,
                   std::vector<std::size_t>& ready) {
    ready.clear();
    if (const int error = PollSockets(sockets, ready); error != 0 || !ready.empty()) {
        WaitForSingleObject(reinterpret_cast<HANDLE>(wake.value), 0); // its signals are used up here too
        return error;
    }
    const DWORD timeout = wait < NoWait ? INFINITE : static_cast<DWORD>(wait.count());
    if (WaitForSingleObject(reinterpret_cast<HANDLE>(wake.value), timeout) == WAIT_FAILED)
        return static_cast<int>(GetLastError());
    return PollSockets(sockets, ready);
}
