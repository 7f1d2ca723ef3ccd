#pragma once

#include "platform/udp_socket.h"
#include "platform/wake.h"

#include <cstddef>
#include <cstdint>
#include <span>

// TCP for the service: listening sockets and their connections, all non-blocking, watched together, so that one
// thread serves them beside its datagrams without a thread per connection.

// Opaque: what it holds is the platform's business.
struct StreamWatch {
    std::intptr_t value = -1;
};

struct StreamWatchResult {
    StreamWatch watch;
    int error = 0; // the platform's code of the failure, 0 on success
};

StreamWatchResult OpenStreamWatch();
void CloseStreamWatch(StreamWatch watch);
// Signalled while a watched socket has what it is watched for: waited on beside the datagrams (ReceiveDatagrams),
// it ends the wait. Taken by TakeReadyStreams, not by the wait.
WakeHandle StreamWatchWake(StreamWatch watch);

// A TCP socket listening on the address and port (host byte order), watched for connections. With the server
// socket's options of its system: a restart binds at once beside connections still closing, and on Windows no
// other program may take the port from under it. Fails with the bind's error where another socket listens there.
SocketResult ListenOnStream(StreamWatch watch, std::uint32_t address, std::uint16_t port);

struct AcceptedStream {
    SocketHandle handle; // none (value -1) when no connection waits or the accept failed
    SocketAddress peer;
    std::uint32_t local = 0; // the address the client connected to; network byte order
    int error = 0;           // the platform's code of a failed accept
};

// What the system may hold of a connection's replies that its client has not read yet.
inline constexpr int SendBufferSize = 64 * 1024;

// Takes a waiting connection, non-blocking and watched for reading; none when none waits.
AcceptedStream AcceptStream(StreamWatch watch, SocketHandle listener);

struct StreamTransfer {
    std::size_t bytes = 0;
    bool again = false; // nothing could be moved now: wait until the socket is ready
    bool ended = false; // reading: the peer has closed its side
    int error = 0;      // the platform's code of a failure; the connection is lost
};

// A connection's bytes, without waiting: of the service's connections, and of the upstream relay's
// (platform/connected_socket.h).
StreamTransfer ReadStream(SocketHandle handle, std::span<std::uint8_t> into);
StreamTransfer WriteStream(SocketHandle handle, std::span<const std::uint8_t> bytes);

// What the watch tells of a connection: that it has bytes to read (or has ended), that it can take more bytes.
// A connection that is not read from while its replies wait must not keep the watch signalled.
int WatchStream(StreamWatch watch, SocketHandle handle, bool read, bool write);

// Closes a connection or a listening socket; it is watched no more.
void CloseStream(StreamWatch watch, SocketHandle handle);

struct ReadyStream {
    std::intptr_t socket = -1; // a SocketHandle's value
    bool readable = false;     // or ended
    bool writable = false;
};

// The watched sockets that have something to do, without waiting, at most ready.size(). Where the system tells
// only that some socket has, every socket in `watched` is told, and its operations say which one.
std::size_t TakeReadyStreams(StreamWatch watch, std::span<const SocketHandle> watched, std::span<ReadyStream> ready);
