#pragma once

#include "common/bounded_queue.h"
#include "dns/thread_messages.h"
#include "platform/network.h"
#include "platform/wake.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Lookups of names the table lacks, shared fairly among clients by the service; and, apart from them, the
// targets of forward entries, the admin's own names, which never wait behind the others.
inline constexpr std::size_t ResolverThreads = 16;
inline constexpr std::size_t ForwardThreads = 2;
// Names waiting their turn, from all clients: room for sixteen each from sixteen clients at once.
inline constexpr std::size_t MostQueuedLookups = 256;

struct Lookup {
    std::string name;
    ResolveHostFunction resolve = nullptr;
    std::uint64_t generation = 0;
};

// The threads that ask the system resolver, so that the answering thread never waits for it. A lookup cannot be
// interrupted and a stop must not wait for one, so the pool and its threads live until the process ends; each
// service that uses it is a generation of its own, and results of an earlier one are dropped by the taker.
struct ResolverPool {
    BoundedQueue<Lookup> lookups{MostQueuedLookups};
    BoundedQueue<Lookup> forwardLookups{MostQueuedLookups};
    // Never full: it holds at most the lookups queued and under way, of this generation and the one before.
    BoundedQueue<LookupResult> results{4 * (MostQueuedLookups + ResolverThreads + ForwardThreads)};
    WakeHandle wake;              // signalled for every result; never closed
    std::uint64_t generation = 0; // written by the service that opens the pool, before its thread starts
    bool started = false;         // likewise
};

// Begins a service's use of the pool, starting the threads and the wake-up the first time. Returns 0, or the
// platform's code of the failure to make the wake-up.
[[nodiscard]] int OpenResolverPool(ResolverPool& pool);

// Queues a lookup of the name in its lane for the current generation. False when MostQueuedLookups are already
// waiting there.
[[nodiscard]] bool QueueLookup(ResolverPool& pool, LookupLane lane, std::string_view name, ResolveHostFunction resolve);

// Ends a service's use: the lookups not begun are dropped.
void CloseResolverPool(ResolverPool& pool);
