#include "dns/resolver_pool.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace {

struct Lookup {
    std::string name;
    ResolveHostFunction resolve = nullptr;
    std::uint64_t generation = 0;
};

// Shared by the answering thread and the resolver threads; every field is guarded by `mutex`. The answering
// thread writes `queued`, `generation`, `resolve` and `wake`; the resolver threads write `finished`.
struct Pool {
    std::mutex mutex;
    std::condition_variable work;
    std::deque<Lookup> queued;
    std::vector<LookupResult> finished;
    std::uint64_t generation = 0;
    ResolveHostFunction resolve = nullptr;
    WakeHandle wake{};
    bool open = false;
    bool started = false;
};

// Never destroyed: a resolver thread may still be inside a lookup when the process exits.
Pool& ThePool() {
    static Pool* const pool = new Pool;
    return *pool;
}

void ResolverThread() {
    Pool& pool = ThePool();
    for (;;) {
        Lookup lookup;
        {
            std::unique_lock lock(pool.mutex);
            pool.work.wait(lock, [&] { return !pool.queued.empty(); });
            lookup = std::move(pool.queued.front());
            pool.queued.pop_front();
        }
        std::optional<std::uint32_t> address = lookup.resolve(lookup.name.c_str());
        const std::lock_guard lock(pool.mutex);
        // Signalled under the lock, so that a closed service's handle is never touched.
        if (pool.open && lookup.generation == pool.generation) {
            pool.finished.push_back({std::move(lookup.name), address});
            SignalWake(pool.wake);
        }
    }
}

} // namespace

void OpenResolverPool(ResolveHostFunction resolve, WakeHandle wake) {
    Pool& pool = ThePool();
    const std::lock_guard lock(pool.mutex);
    ++pool.generation;
    pool.resolve = resolve;
    pool.wake = wake;
    pool.open = true;
    if (!pool.started) {
        pool.started = true;
        for (std::size_t i = 0; i < ResolverThreads; ++i)
            std::thread(ResolverThread).detach();
    }
}

bool QueueLookup(std::string_view name) {
    Pool& pool = ThePool();
    {
        const std::lock_guard lock(pool.mutex);
        if (!pool.open || pool.queued.size() >= MostQueuedLookups)
            return false;
        pool.queued.push_back({std::string(name), pool.resolve, pool.generation});
    }
    pool.work.notify_one();
    return true;
}

void TakeLookupResults(std::vector<LookupResult>& results) {
    Pool& pool = ThePool();
    const std::lock_guard lock(pool.mutex);
    for (LookupResult& result : pool.finished)
        results.push_back(std::move(result));
    pool.finished.clear();
}

void CloseResolverPool() {
    Pool& pool = ThePool();
    const std::lock_guard lock(pool.mutex);
    pool.open = false;
    pool.queued.clear();
    pool.finished.clear();
}
