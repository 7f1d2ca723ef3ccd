#include "dns/resolver_pool.h"

#include <thread>
#include <vector>

namespace {

void ResolverThread(ResolverPool* pool, BoundedQueue<Lookup>* lane) {
    while (std::optional<Lookup> lookup = lane->Pop()) {
        LookupResult result{std::move(lookup->name), {}, false, lookup->generation};
        result.result = lookup->resolve(result.name.c_str());
        result.numeric = result.result.outcome == HostLookup::Outcome::Found && IsNumericAddress(result.name.c_str());
        if (pool->results.Push(std::move(result)))
            SignalWake(pool->wake);
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
