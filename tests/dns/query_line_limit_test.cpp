#include "dns/query_line_limit.h"

#include "common/ipv4.h"

#include <gtest/gtest.h>

namespace {

using Clock = QueryLineLimit::Clock;
const std::uint32_t Tv = MakeAddress(192, 0, 2, 7);

// How many of `count` queries of the client at `now` may have their line.
std::uint32_t Shown(QueryLineLimit& limit, std::uint32_t client, std::uint32_t count, Clock::time_point now,
                    std::string& console) {
    std::uint32_t shown = 0;
    for (std::uint32_t i = 0; i < count; ++i)
        shown += limit.Admit(client, now, console) ? 1 : 0;
    return shown;
}

} // namespace

TEST(QueryLineLimit, ShowsTwentyLinesASecondOfAClientAndCountsTheRestInOneLineAfterIt) {
    QueryLineLimit limit;
    std::string console;
    const Clock::time_point start = Clock::now(), later = start + std::chrono::milliseconds(500);
    EXPECT_EQ(Shown(limit, Tv, 8432, start, console), 20u);
    EXPECT_EQ(Shown(limit, MakeAddress(192, 0, 2, 8), 20, later, console), 20u); // each client has its own share
    EXPECT_EQ(limit.NextDue(), start + QueryLineLimit::Second);
    limit.AppendDue(start + QueryLineLimit::Second - std::chrono::nanoseconds(1), console);
    EXPECT_EQ(console, "");
    limit.AppendDue(start + QueryLineLimit::Second, console);
    EXPECT_EQ(console, "> 192.0.2.7: 8,412 more queries not shown\n");
    EXPECT_EQ(limit.NextDue(), std::nullopt); // the other client had none held back
    // A new second, a new share; a count that comes due meanwhile is told before the next query's line.
    console.clear();
    const Clock::time_point next = start + std::chrono::seconds(5);
    EXPECT_EQ(Shown(limit, Tv, 21, next, console), 20u);
    EXPECT_TRUE(limit.Admit(Tv, next + QueryLineLimit::Second, console));
    EXPECT_EQ(console, "> 192.0.2.7: 1 more queries not shown\n");
}

TEST(QueryLineLimit, RemembersABoundedNumberOfClientsAndTellsTheCountOfOneWhosePlaceIsTaken) {
    QueryLineLimit limit;
    std::string console;
    const Clock::time_point now = Clock::now();
    EXPECT_EQ(Shown(limit, Tv, 22, now, console), 20u);
    // A flood from many sources within the same second: each line shown, the client whose second began first
    // crowded out and told at once.
    for (std::uint32_t i = 1; i <= 100000; ++i)
        ASSERT_TRUE(limit.Admit(MakeAddress(10, std::uint8_t(i >> 16), std::uint8_t(i >> 8), std::uint8_t(i)),
                                now + std::chrono::nanoseconds(i), console));
    EXPECT_EQ(console, "> 192.0.2.7: 2 more queries not shown\n");
    EXPECT_EQ(limit.NextDue(), std::nullopt);
    EXPECT_TRUE(limit.Admit(Tv, now + std::chrono::milliseconds(1), console)); // forgotten: a new second
}
