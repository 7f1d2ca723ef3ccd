#pragma once

#include "common/bounded_queue.h"
#include "dns/thread_messages.h"
#include "platform/network.h"
#include "platform/wake.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
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

// A lookup that has taken this long is given up: its taker is told it failed, and its thread is left to finish it
// alone while a new one takes its place, so that names nobody answers (a silent upstream holds each for 5 s and
// more) cannot keep the threads from the names behind them. Below the engine's LongestWait, so that a query
// waiting its turn is still answered in time.
inline constexpr std::chrono::milliseconds LookupDeadline{2000};
// Threads left with a lookup given up, at most; beyond it, a slow lookup keeps its thread.
inline constexpr std::size_t MostAbandonedLookups = 64;

// The threads that ask the system resolver, so that the answering thread never waits for it. A lookup cannot be
// interrupted and a stop must not wait for one, so the pool and its threads live until the process ends; each
// service that uses it is a generation of its own, and results of an earlier one are dropped by the taker. A
// lookup given up comes back twice: failed at its deadline, and with what it found once it ends (a result the
// taker no longer waits for is dropped).
struct ResolverPool {
    BoundedQueue<Lookup> lookups{MostQueuedLookups};
    BoundedQueue<Lookup> forwardLookups{MostQueuedLookups};
    // Never full: it holds at most the lookups queued and under way, of this generation and the one before, and
    // the second result of each lookup given up.
    BoundedQueue<LookupResult> results{4 * (MostQueuedLookups + ResolverThreads + ForwardThreads) +
                                       2 * MostAbandonedLookups};
    WakeHandle wake;              // signalled for every result; never closed
    std::uint64_t generation = 0; // written by the service that opens the pool, before its thread starts
    bool started = false;         // likewise
    std::chrono::milliseconds deadline = LookupDeadline; // likewise; tests shorten it

    // The lookups under way, for the watch over their deadlines.
    struct Running {
        Lookup lookup;
        BoundedQueue<Lookup>* lane = nullptr;
        std::chrono::steady_clock::time_point started;
        bool abandoned = false;
    };
    std::mutex mutex; // guards the rest
    std::condition_variable changed;
    std::list<Running> running;
    std::size_t abandoned = 0; // of the lookups running
};

// Begins a service's use of the pool, starting the threads and the wake-up the first time. Returns 0, or the
// platform's code of the failure to make the wake-up.
[[nodiscard]] int OpenResolverPool(ResolverPool& pool);

// Queues a lookup of the name in its lane for the current generation. False when MostQueuedLookups are already
// waiting there.
[[nodiscard]] bool QueueLookup(ResolverPool& pool, LookupLane lane, std::string_view name, ResolveHostFunction resolve);

// Ends a service's use: the lookups not begun are dropped.
void CloseResolverPool(ResolverPool& pool);
