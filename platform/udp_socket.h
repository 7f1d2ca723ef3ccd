#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

// An IPv4 socket address; both fields in network byte order.
struct SocketAddress {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
};

struct SocketResult {
    int handle = -1;
    int error = 0; // errno of the failure, 0 on success
};

// A UDP socket over IPv4 that learns, for every datagram, the local address it was sent to.
SocketResult CreateUdpSocket();
int EnableAddressReuse(int handle);                                    // SO_REUSEADDR; 0 or errno
int BindSocket(int handle, std::uint32_t address, std::uint16_t port); // port in host byte order; 0 or errno
void CloseSocket(int handle);

enum class ReceiveStatus { Received, Failed, Woken };

struct ReceiveResult {
    ReceiveStatus status = ReceiveStatus::Failed;
    std::size_t size = 0;   // bytes placed in the buffer
    bool truncated = false; // the datagram was longer than the buffer; its tail is lost
    SocketAddress sender;
    std::uint32_t localAddress = 0; // the address the datagram was sent to; 0 when unknown
    int error = 0;
};

// Waits for one datagram, or until the wake handle is signalled.
ReceiveResult ReceiveDatagram(int handle, int wakeHandle, std::span<std::uint8_t> buffer);
// Sends from the given local address, so that a reply leaves from the address its query was sent to, as
// clients expect; 0 lets the system choose. Returns 0 or errno.
int SendDatagram(int handle, std::span<const std::uint8_t> bytes, const SocketAddress& to, std::uint32_t from);

// A handle that one thread signals to wake another out of ReceiveDatagram or WaitForWake.
int CreateWakeHandle();
void SignalWake(int wakeHandle);
void CloseWakeHandle(int wakeHandle);
// Waits until the handle is signalled or the time is up; true when signalled.
bool WaitForWake(int wakeHandle, std::chrono::milliseconds timeout);
