#pragma once

#include "platform/udp_socket.h"
#include "platform/wake.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// A UDP socket of its own for one exchange with one server: bound to a random port and connected to the server's
// address and port, so that the system drops datagrams from anyone else. It never blocks. Its datagrams signal
// `wake` where the system needs that to wait for many sockets at once (Windows): the wake-up must outlive the
// socket. CloseSocket closes it.
SocketResult CreateConnectedUdpSocket(SocketAddress server, WakeHandle wake);

// Sends the bytes to the socket's server. 0, or the platform's code of the failure.
int SendConnected(SocketHandle handle, std::span<const std::uint8_t> bytes);

struct ConnectedReceive {
    bool received = false;  // a datagram was taken; when not, and no error, none was waiting
    std::size_t size = 0;   // bytes placed in the buffer
    bool truncated = false; // the datagram was longer than the buffer
    int error = 0;          // the platform's code, such as a refusal: nobody listens on the server's port
};

// Takes one datagram from the socket's server, without waiting.
ConnectedReceive ReceiveConnected(SocketHandle handle, std::span<std::uint8_t> buffer);

// A TCP socket for one exchange with one server, its connection begun and not awaited: it is up once the wait finds
// it ready to send, and failed when a send or receive says so. It never blocks; like the UDP socket, it signals
// `wake` where the system needs that. CloseSocket closes it.
SocketResult StartTcpConnection(SocketAddress server, WakeHandle wake);

// Its bytes go and come with WriteStream and ReadStream (platform/stream_socket.h).

// A socket to wait for, and for what: room to send (a TCP connection under way, a message not yet sent whole), or
// something to receive.
struct SocketWait {
    SocketHandle handle;
    bool toSend = false;
};

// Waits until one of the sockets is ready or has an error, the wake-up is signalled, or the time is up (NoWait,
// WaitForever or a time), and puts the indexes of the ready ones into `ready`, in order. A wake-up's signals are
// used up. 0, or the platform's code of the failure.
int WaitForSockets(std::span<const SocketWait> sockets, WakeHandle wake, std::chrono::milliseconds wait,
                   std::vector<std::size_t>& ready);
