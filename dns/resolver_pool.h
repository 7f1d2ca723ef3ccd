#pragma once

#include "platform/network.h"
#include "platform/udp_socket.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::size_t ResolverThreads = 4;
inline constexpr std::size_t MostQueuedLookups = 64;

struct LookupResult {
    std::string name;
    std::optional<std::uint32_t> address;
};

// The threads that ask the system resolver, so that the answering thread never waits for it. They start with
// the first service and live until the process ends: a lookup cannot be interrupted, and a stop must not wait
// for one.

// Begins a service's use of the pool: lookups go to `resolve`, and each finished one signals `wake`.
void OpenResolverPool(ResolveHostFunction resolve, WakeHandle wake);

// Queues a lookup of the name. False when MostQueuedLookups are already waiting for a thread.
[[nodiscard]] bool QueueLookup(std::string_view name);

// Moves the finished lookups into `results`, without waiting.
void TakeLookupResults(std::vector<LookupResult>& results);

// Ends the service's use: queued lookups are dropped, lookups under way are forgotten when they end, and the
// wake handle is not signalled once this has returned.
void CloseResolverPool();
