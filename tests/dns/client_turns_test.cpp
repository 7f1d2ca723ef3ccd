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
    ClientTurns turns(4, 8, std::chrono::seconds(2));
    for (const char* name : {"a1", "a2", "a3", "a4", "a5"})
        EXPECT_TRUE(turns.Queue(1, name).queued);
    // Alone, a client still leaves a quarter of the threads to whoever comes next.
    EXPECT_THAT(Start(turns), ElementsAre("1 a1", "1 a2", "1 a3"));
    turns.Queue(2, "b1");
    turns.Queue(2, "b2");
    turns.Queue(3, "c1");
    EXPECT_THAT(Start(turns), ElementsAre("2 b1"));
    turns.Ended(1, {});
    turns.Ended(1, {});
    // Client 3 holds none and has never been served; client 2 holds one, client 1 one but started long ago.
    EXPECT_THAT(Start(turns), ElementsAre("3 c1", "1 a4"));
    EXPECT_EQ(turns.UnderWay(), 4u);
}

TEST(ClientTurns, ServesAClientWhoseNamesAreFoundAtOnceBeforeOneWhoseNamesNobodyAnswers) {
    ClientTurns turns(2, 8, std::chrono::seconds(2));
    for (const char* name : {"s1", "s2", "s3"})
        turns.Queue(1, name);
    turns.Queue(2, "q1");
    turns.Queue(2, "q2");
    EXPECT_THAT(Start(turns), ElementsAre("1 s1", "2 q1"));
    turns.Ended(1, std::chrono::seconds(2));
    turns.Ended(2, std::chrono::milliseconds(1));
    EXPECT_THAT(Start(turns), ElementsAre("2 q2", "1 s2"));
    // When every place is taken, a newcomer takes the place of the slow client's newest name, not the other's.
    turns.Queue(1, "s4");
    for (const char* name : {"q3", "q4", "q5", "q6", "q7", "q8"})
        turns.Queue(2, name);
    EXPECT_EQ(turns.Queue(3, "n1").displaced, "s4");
    EXPECT_EQ(turns.Queue(3, "n2").displaced, "s3");
    // Then the quick client, which holds a thread where the newcomer holds none; never the asker itself.
    EXPECT_EQ(turns.Queue(3, "n3").displaced, "q8");
    EXPECT_FALSE(turns.Queue(2, "q9").queued);
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
