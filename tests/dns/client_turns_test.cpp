#include "dns/client_turns.h"
#include "dns/ticket_ledger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

using ::testing::ElementsAre;

namespace {

// The names handed out until no thread is free, as "CLIENT NAME".
std::vector<std::string> Start(ClientTurns& turns) {
    std::vector<std::string> started;
    while (auto turn = turns.Next())
        started.push_back(std::to_string(turn->client) + " " + turn->name);
    return started;
}

} // namespace

TEST(ClientTurns, ServesTheClientHoldingFewestThreadsAndTheNewcomerFirst) {
    ClientTurns turns(4, 8);
    for (const char* name : {"a1", "a2", "a3", "a4", "a5"})
        EXPECT_TRUE(turns.Queue(1, name).queued);
    // Alone, a client still leaves a quarter of the threads to whoever comes next.
    EXPECT_THAT(Start(turns), ElementsAre("1 a1", "1 a2", "1 a3"));
    turns.Queue(2, "b1");
    turns.Queue(2, "b2");
    turns.Queue(3, "c1");
    EXPECT_THAT(Start(turns), ElementsAre("2 b1"));
    turns.Ended(1);
    turns.Ended(1);
    // Client 3 holds none and has never been served; client 2 holds one, client 1 one but started long ago.
    EXPECT_THAT(Start(turns), ElementsAre("3 c1", "1 a4"));
    EXPECT_EQ(turns.UnderWay(), 4u);
}

TEST(ClientTurns, MakesRoomForANewcomerAtTheCostOfTheClientWithTheMostNamesWaiting) {
    ClientTurns turns(1, 4);
    for (const char* name : {"a1", "a2", "a3"})
        turns.Queue(1, name);
    turns.Queue(2, "b1");
    // Full: client 3 takes the place of client 1's newest; client 2, with one, may not take client 1's again.
    const ClientTurns::Queued newcomer = turns.Queue(3, "c1");
    EXPECT_TRUE(newcomer.queued);
    EXPECT_EQ(newcomer.displaced, "a3");
    EXPECT_FALSE(turns.Queue(2, "b2").queued);
}

TEST(ClientWaits, BoundsEachClientAndLetsANewcomerInWhenAllPlacesAreTaken) {
    ClientWaits waits(ClientWaits::MostPerClient + 2);
    for (std::size_t i = 0; i < ClientWaits::MostPerClient; ++i) {
        ASSERT_TRUE(waits.Admit(1).admitted);
        waits.Add(1);
    }
    EXPECT_FALSE(waits.Admit(1).admitted);
    waits.Add(2);
    waits.Add(2);
    const ClientWaits::Admission newcomer = waits.Admit(3);
    EXPECT_TRUE(newcomer.admitted);
    EXPECT_EQ(newcomer.evict, 1u);
    waits.Remove(1);
    EXPECT_EQ(waits.Admit(3).evict, std::nullopt);
}

TEST(TicketLedger, SettlesNamesInTicketOrderUpToTheTicketGiven) {
    TicketLedger ledger;
    EXPECT_EQ(ledger.Issue("a"), 1u);
    EXPECT_EQ(ledger.Issue("b"), 2u);
    EXPECT_EQ(ledger.Issue("c"), 3u);
    EXPECT_THAT(ledger.Settle(2), ElementsAre("a", "b"));
    EXPECT_THAT(ledger.Settle(2), ElementsAre());
    EXPECT_EQ(ledger.Unsettled().size(), 1u);
    EXPECT_THAT(ledger.Settle(9), ElementsAre("c"));
}
