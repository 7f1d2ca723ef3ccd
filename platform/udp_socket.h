#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

// Opaque handles: what they hold is the platform's business.
struct SocketHandle {
    std::intptr_t value = -1;
};
struct WakeHandle {
    std::intptr_t value = -1;
    std::uint32_t address = 0; // where its wake datagrams come from, in network byte order
    std::uint16_t port = 0;
};

// An IPv4 socket address; both fields in network byte order.
struct SocketAddress {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
};

struct SocketResult {
    SocketHandle handle;
    int error = 0; // the platform's error code of the failure, 0 on success
};

// A UDP socket over IPv4 that learns, for every datagram, the local address it was sent to.
SocketResult CreateUdpSocket();
int EnableAddressReuse(SocketHandle handle);                                    // SO_REUSEADDR; 0 or error
int BindSocket(SocketHandle handle, std::uint32_t address, std::uint16_t port); // port in host byte order
void CloseSocket(SocketHandle handle);

inline constexpr std::size_t DatagramBufferSize = 2048;
using DatagramBuffer = std::array<std::uint8_t, DatagramBufferSize>;

struct ReceivedDatagram {
    std::size_t size = 0;   // bytes placed in the buffer
    bool truncated = false; // the datagram was longer than the buffer; its tail is lost
    bool wake = false;      // no query: another thread's wake-up
    SocketAddress sender;
    std::uint32_t localAddress = 0; // the receiving interface's own address, to answer from; 0 when unknown
};

struct ReceiveResult {
    std::size_t count = 0; // datagrams received, in arrival order
    int error = 0;         // the platform's error code when the receive failed
};

// Waits for a datagram, then takes those already waiting behind it, at most buffers.size(). A wake-up arrives as
// a datagram too, marked as one. Without a wait of its own before it: one system call a batch.
ReceiveResult ReceiveDatagrams(SocketHandle handle, WakeHandle wake, std::span<DatagramBuffer> buffers,
                               std::span<ReceivedDatagram> received);

struct OutgoingDatagram {
    std::span<const std::uint8_t> bytes;
    SocketAddress to;
    std::uint32_t from = 0; // the local address to send from, so a reply leaves from where its query came in
    int error = 0;          // set by SendDatagrams: 0, or the platform's error code for this datagram
};

// Sends the datagrams in order; a datagram that cannot be sent gets its error and the rest still go.
void SendDatagrams(SocketHandle handle, std::span<OutgoingDatagram> datagrams);

// Lets other threads wake the thread that receives on the socket bound to the address and port (0 for any
// address): a datagram to it from a socket of our own, which ReceiveDatagrams marks as a wake-up. Nothing is lost
// when it comes before the receive, since it waits in the socket.
WakeHandle CreateWakeHandle(std::uint32_t address, std::uint16_t port);
void SignalWake(WakeHandle wake);
void CloseWakeHandle(WakeHandle wake);
