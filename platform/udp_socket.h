#pragma once

#include "platform/wake.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

// Opaque: what it holds is the platform's business.
struct SocketHandle {
    std::intptr_t value = -1;
    std::intptr_t event = -1; // where the platform needs one to wait on the socket beside a wake-up
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

// A UDP socket over IPv4 that learns, for every datagram, the address it was sent to.
SocketResult CreateUdpSocket();
// The options a server's socket needs before its bind, so that it shares the port with servers bound to one
// address (systemd-resolved's stub on 127.0.0.53, dnsmasq on a virtual machines' bridge, Windows' Internet
// Connection Sharing), which keep their own address's datagrams: SO_REUSEADDR on Linux. 0 or the platform's code
// of the failure.
int SetServerSocketOptions(SocketHandle handle);
int BindSocket(SocketHandle handle, std::uint32_t address, std::uint16_t port); // port in host byte order
void CloseSocket(SocketHandle handle);

inline constexpr std::size_t DatagramBufferSize = 2048;
using DatagramBuffer = std::array<std::uint8_t, DatagramBufferSize>;

struct ReceivedDatagram {
    std::size_t size = 0;   // bytes placed in the buffer
    bool truncated = false; // the datagram was longer than the buffer; its tail is lost
    SocketAddress sender;
    std::uint32_t destination = 0;      // the address it was sent to, maybe a broadcast address; 0 when unknown
    std::uint32_t interfaceAddress = 0; // the receiving interface's own address; 0 when unknown
};

struct ReceiveResult {
    std::size_t count = 0; // datagrams received, in arrival order
    int error = 0;         // the platform's error code when the receive failed
};

inline constexpr std::chrono::milliseconds NoWait{0};
inline constexpr std::chrono::milliseconds WaitForever{-1};

// Takes the datagrams waiting, at most buffers.size(); when none is waiting, waits for one or a wake-up at most
// `wait` (NoWait, WaitForever, or a time): none and no error after a wake-up or when the time is up. Under steady
// load, one system call a batch.
ReceiveResult ReceiveDatagrams(SocketHandle handle, std::span<const WakeHandle> wakes,
                               std::span<DatagramBuffer> buffers, std::span<ReceivedDatagram> received,
                               std::chrono::milliseconds wait);

struct OutgoingDatagram {
    std::span<const std::uint8_t> bytes;
    SocketAddress to;
    std::uint32_t from = 0; // the local address to send from; 0 lets the system choose
    int error = 0;          // set by SendDatagrams: 0, or the platform's error code for this datagram
};

// Whether another socket holds the address and port (host byte order) already: binds a socket there for a moment.
// Returns 0 when the port is free there, else the platform's code of the failed bind.
int ProbeUdpPort(std::uint32_t address, std::uint16_t port);
// Whether a failed bind's error (ProbeUdpPort's) says that another socket holds the address and port.
bool IsPortHeld(int error);

// Who holds a UDP socket, as far as the system tells: this process, a process of this process's user, an
// administrator (root; on Windows LocalSystem or an elevated token).
struct UdpSocketOwner {
    bool thisProcess = false;
    bool thisUser = false;
    bool administrator = false;
};

// What is true of both owners: of a port that two sockets share, either may have sent a datagram.
inline UdpSocketOwner CommonOwner(const UdpSocketOwner& one, const UdpSocketOwner& other) {
    return {one.thisProcess && other.thisProcess, one.thisUser && other.thisUser,
            one.administrator && other.administrator};
}

// Who holds the UDP socket that sends from the address and port (both in network byte order), read from the
// system's table of sockets: one bound there, or to every address on that port. Where several could (sockets that
// share a port), only what is true of each. Nothing when none is bound there (its sender has closed it) or the table
// cannot be read; an owner the system does not show is none of the three.
std::optional<UdpSocketOwner> FindUdpSocketOwner(std::uint32_t address, std::uint16_t port);

// Whether the UDP socket bound to the address and port (both in network byte order) is one of this process's
// own, such as the one a lookup of the system resolver uses.
inline bool IsOwnUdpSocket(std::uint32_t address, std::uint16_t port) {
    const std::optional<UdpSocketOwner> owner = FindUdpSocketOwner(address, port);
    return owner && owner->thisProcess;
}

// Sends the datagrams in order; a datagram that cannot be sent gets its error and the rest still go.
void SendDatagrams(SocketHandle handle, std::span<OutgoingDatagram> datagrams);
