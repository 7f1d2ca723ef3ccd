#include "dns/resolver_pool.h"

#include <algorithm>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

void Report(ResolverPool& pool, LookupResult result) {
    if (pool.results.Push(std::move(result)))
        SignalWake(pool.wake);
}

void ResolverThread(ResolverPool* pool, BoundedQueue<Lookup>* lane) {
    while (std::optional<Lookup> lookup = lane->Pop()) {
        std::list<ResolverPool::Running>::iterator running;
        {
            const std::lock_guard lock(pool->mutex);
            running = pool->running.insert(pool->running.end(), {*lookup, lane, Clock::now(), false});
        }
        pool->changed.notify_one();
        LookupResult result{std::move(lookup->name), {}, false, lookup->generation};
        const Clock::time_point started = Clock::now();
        result.result = lookup->resolve(result.name.c_str());
        result.took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
        result.numeric = result.result.outcome == HostLookup::Outcome::Found && IsNumericAddress(result.name.c_str());
        bool replaced = false;
        {
            const std::lock_guard lock(pool->mutex);
            replaced = running->abandoned;
            pool->abandoned -= replaced ? 1 : 0;
            pool->running.erase(running);
        }
        if (replaced)
            pool->changed.notify_one(); // a place for another lookup given up
        Report(*pool, std::move(result));
        if (replaced)
            return; // another thread has taken this one's place
    }
}

// Gives up the lookups past their deadline, while threads may still be left to them.
void GiveUpOverdue(ResolverPool& pool, Clock::time_point now) {
    for (ResolverPool::Running& item : pool.running) {
        if (item.abandoned || now - item.started < pool.deadline || pool.abandoned >= MostAbandonedLookups)
            continue;
        item.abandoned = true;
        ++pool.abandoned;
        Report(pool, {item.lookup.name, {}, false, item.lookup.generation, pool.deadline});
        std::thread(ResolverThread, &pool, item.lane).detach();
    }
}

// Watches the deadlines of the lookups under way.
void WatchThread(ResolverPool* pool) {
    std::unique_lock lock(pool->mutex);
    for (;;) {
        const auto next = std::find_if(pool->running.begin(), pool->running.end(),
                                       [](const ResolverPool::Running& item) { return !item.abandoned; });
        if (next == pool->running.end() || pool->abandoned >= MostAbandonedLookups)
            pool->changed.wait(lock);
        else
            pool->changed.wait_until(lock, next->started + pool->deadline);
        GiveUpOverdue(*pool, Clock::now());
    }
}

} // namespace

int OpenResolverPool(ResolverPool& pool) {
    if (!pool.started) {
        const WakeResult wake = CreateWake();
        if (wake.error != 0)
            return wake.error;
        pool.wake = wake.handle;
        pool.started = true;
        for (std::size_t i = 0; i < ResolverThreads; ++i)
            std::thread(ResolverThread, &pool, &pool.lookups).detach();
        for (std::size_t i = 0; i < ForwardThreads; ++i)
            std::thread(ResolverThread, &pool, &pool.forwardLookups).detach();
        std::thread(WatchThread, &pool).detach();
    }
    ++pool.generation;
    return 0;
}

bool QueueLookup(ResolverPool& pool, LookupLane lane, std::string_view name, ResolveHostFunction resolve) {
    BoundedQueue<Lookup>& queue = lane == LookupLane::Forward ? pool.forwardLookups : pool.lookups;
    return queue.Push({std::string(name), resolve, pool.generation});
}

void CloseResolverPool(ResolverPool& pool) {
    std::vector<Lookup> dropped;
    pool.lookups.TakeAll(dropped);
    pool.forwardLookups.TakeAll(dropped);
}
