#include "dns/resolver_pool.h"

#include "common/ipv4.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<bool> released{false};

// Names starting "silent" are answered only once released (or after ten seconds, so no thread hangs for good).
HostLookup SilentOrAtOnce(const char* name) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::string_view(name).starts_with("silent") && !released && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return {HostLookup::Outcome::Found, MakeAddress(10, 0, 0, 1)};
}

// The results that come within ten seconds until `enough` says so, as "NAME found" or "NAME failed".
template <typename Enough> std::vector<std::string> Collect(ResolverPool& pool, Enough enough) {
    std::vector<std::string> seen;
    std::vector<LookupResult> results;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!enough(seen) && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        pool.results.TakeAll(results);
        for (const LookupResult& result : results)
            seen.push_back(result.name + (result.result.outcome == HostLookup::Outcome::Found ? " found" : " failed"));
        results.clear();
    }
    return seen;
}

} // namespace

TEST(ResolverPool, GivesUpALookupPastItsDeadlineSoThatTheNamesBehindItGoOn) {
    // Its threads outlive the test, waiting on it: the pool must too, never destroyed.
    static ResolverPool& pool = *new ResolverPool;
    pool.deadline = std::chrono::milliseconds(50);
    ASSERT_EQ(OpenResolverPool(pool), 0);
    for (std::size_t i = 0; i < ResolverThreads; ++i)
        ASSERT_TRUE(QueueLookup(pool, LookupLane::Unknown, "silent" + std::to_string(i), SilentOrAtOnce));
    ASSERT_TRUE(QueueLookup(pool, LookupLane::Unknown, "quick", SilentOrAtOnce));
    const auto has = [](const std::string& wanted) {
        return [wanted](const std::vector<std::string>& seen) {
            return std::find(seen.begin(), seen.end(), wanted) != seen.end();
        };
    };
    std::vector<std::string> seen = Collect(pool, has("quick found"));
    ASSERT_THAT(seen, testing::Contains("quick found"));
    EXPECT_THAT(seen, testing::Contains("silent0 failed"));
    // What a lookup given up finds still comes, once it ends, and its thread is gone.
    released = true;
    seen = Collect(pool, has("silent0 found"));
    EXPECT_THAT(seen, testing::Contains("silent0 found"));
    Collect(pool, [](const auto&) {
        const std::lock_guard lock(pool.mutex);
        return pool.abandoned == 0;
    });
    const std::lock_guard lock(pool.mutex);
    EXPECT_EQ(pool.abandoned, 0u);
}
