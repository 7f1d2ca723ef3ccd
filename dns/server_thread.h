#pragma once

#include "common/host_name.h"
#include "platform/network.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

inline constexpr std::size_t ReceiveBufferSize = 2048;

// Where the service listens and whom it asks for names the table lacks. The program uses the defaults.
struct ServiceSettings {
    std::uint32_t bindAddress = 0; // any local address
    std::uint16_t port = 53;
    ResolveHostFunction resolveHost = ResolveHost;
};

// True from program start; cleared by the server thread when an empty datagram from this machine ends the
// service. Written by start-up before the thread exists and by the thread afterwards.
inline std::atomic<bool> ServerRunning{true};

// Starts the DNS service on a thread of its own; does not wait for its socket.
void StartServerThread(const ServiceSettings& settings = {});

// Ends the service at once: it answers nothing more, and the thread is woken from its receive and joined. A
// thread held up in a resolver call is waited for two seconds at most and then left to end by itself. Does
// nothing when the service never started or has ended.
void StopServerThread();

// The body of the server thread: sets up the socket, then receives, answers and sends until it is stopped.
void ServerThread(ServiceSettings settings);

// The dotted query name of a datagram: the wire name from its second byte on, every byte that is 31 or less as
// a signed byte turned into '.'. Nothing when the datagram holds no complete name or the name would not fit
// the store.
std::optional<std::string_view> BuildQueryName(std::span<const std::uint8_t> datagram, HostName& store);
