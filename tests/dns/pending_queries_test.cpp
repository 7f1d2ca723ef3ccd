#include "dns/pending_queries.h"

#include "common/ipv4.h"
#include "resolutions/resolution_file.h"
#include "tests/test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace {

const std::uint32_t Printer = MakeAddress(192, 168, 1, 20), Nas = MakeAddress(192, 168, 1, 30),
                    Learned = MakeAddress(10, 0, 0, 8), Client = MakeAddress(192, 168, 0, 9);

// The machine on a table of printer (fixed), files (forwarded to nas.lan) and gateway (Local), its output
// gathered step by step. Every reply goes to Client from port 1000 + its query's ID.
struct Machine {
    ResolutionTable table;
    LocalAddressList addresses{{MakeAddress(127, 0, 0, 1), MakeAddress(192, 168, 0, 2)}, MakeAddress(10, 0, 0, 5)};
    PendingQueries queries;
    PendingOutput out;

    explicit Machine(bool appendable = false) : queries(table, addresses, false, appendable) {
        AppendResolution(table, {"printer", {}, 0, Printer});
        AppendResolution(table, {"files", "nas.lan", ForwardKind, 0});
        AppendResolution(table, {"gateway", {}, 0, 0});
    }
    void Ask(std::uint16_t id, std::initializer_list<std::string_view> labels) {
        TakeQuery(queries, MakeQuery(id, labels), {Client, static_cast<std::uint16_t>(1000 + id), 0}, out);
    }
    void Resolve(const std::string& name, std::optional<std::uint32_t> address, bool numeric = false) {
        TakeLookupResult(queries, name, address, numeric, out);
    }
    void Saved(std::uint64_t ticket, int error = 0, bool stale = false) {
        SaveOutcome outcome;
        outcome.ticket = ticket;
        outcome.error = error;
        outcome.stale = stale;
        TakeSaveOutcome(queries, std::move(outcome), "t.drf", error != 0 ? "Disk full" : "", out);
    }
    // The replies so far as "PORT ADDRESS" or "PORT failure", and nothing of them left in the output.
    std::vector<std::string> Replies() {
        std::vector<std::string> replies;
        for (const PendingOutput::Reply& reply : out.replies) {
            const Bytes message(out.bytes.begin() + long(reply.offset),
                                out.bytes.begin() + long(reply.offset + reply.length));
            const std::uint32_t address = message[3] == 0 ? MakeAddress(message.end()[-4], message.end()[-3],
                                                                        message.end()[-2], message.end()[-1])
                                                          : 0;
            replies.push_back(std::to_string(reply.to.port) + " " +
                              (message[3] == 0 ? DottedAddress(address).data() : "failure"));
        }
        out.replies.clear();
        out.bytes.clear();
        return replies;
    }
    std::vector<std::string> Lookups() { return std::exchange(out.lookups, {}); }
    std::vector<SaveJob> Saves() { return std::exchange(out.saves, {}); }
};

} // namespace

TEST(PendingQueries, AnswersFromTheTableAtOnceAndForwardsWithoutLearning) {
    Machine machine;
    machine.Ask(1, {"printer"});
    machine.Ask(2, {"gateway"});
    machine.Ask(3, {"files"});
    machine.Ask(4, {"files"});
    EXPECT_THAT(machine.Replies(), ElementsAre("1001 192.168.1.20", "1002 192.168.0.2"));
    EXPECT_THAT(machine.Lookups(), ElementsAre("nas.lan")); // one lookup for both
    machine.Resolve("nas.lan", Nas);
    EXPECT_THAT(machine.Replies(), ElementsAre("1003 192.168.1.30", "1004 192.168.1.30"));
    EXPECT_EQ(machine.out.console, "> 192.168.0.9: printer -> 192.168.1.20\n> 192.168.0.9: gateway -> 192.168.0.2\n"
                                   "> 192.168.0.9: files -> 192.168.1.30\n> 192.168.0.9: files -> 192.168.1.30\n");
    EXPECT_THAT(machine.Saves(), IsEmpty());
    EXPECT_EQ(ResolutionCount(machine.table), 3u);
    // A forward entry's target that nobody knows fails; so does a lookup that could not be queued.
    machine.Ask(5, {"files"});
    machine.Resolve("nas.lan", std::nullopt);
    EXPECT_THAT(machine.Replies(), ElementsAre("1005 failure"));
}

TEST(PendingQueries, AnswersALearnedNameOnlyOnceItIsOnDisk) {
    Machine machine;
    machine.Ask(1, {"new", "lan"});
    machine.Ask(2, {"new", "lan"});
    EXPECT_THAT(machine.Lookups(), ElementsAre("new.lan"));
    machine.Resolve("new.lan", Learned);
    // Not loaded from a file that held the table exactly: written whole, and nobody answered yet.
    std::vector<SaveJob> saves = machine.Saves();
    ASSERT_EQ(saves.size(), 1u);
    EXPECT_TRUE(saves[0].whole);
    EXPECT_THAT(saves[0].bytes, ElementsAreArray(SerializeResolutionTable(machine.table)));
    EXPECT_THAT(EntryNames(machine.table), ElementsAre("printer", "files", "gateway", "new.lan"));
    machine.Ask(3, {"new", "lan"}); // joins: not answered before the disk has it
    machine.Ask(4, {"printer"});
    EXPECT_THAT(machine.Replies(), ElementsAre("1004 192.168.1.20"));
    EXPECT_THAT(machine.Lookups(), IsEmpty());
    machine.Saved(saves[0].ticket);
    EXPECT_THAT(machine.Replies(), ElementsAre("1001 10.0.0.8", "1002 10.0.0.8", "1003 10.0.0.8"));
    // From the table from now on; the file written whole now holds the table, so the next one is appended.
    machine.Ask(5, {"new", "lan"});
    machine.Ask(6, {"other"});
    machine.Resolve("other", Learned);
    EXPECT_THAT(machine.Replies(), ElementsAre("1005 10.0.0.8"));
    saves = machine.Saves();
    ASSERT_EQ(saves.size(), 1u);
    EXPECT_FALSE(saves[0].whole);
    ASSERT_EQ(saves[0].learned.size(), 1u);
    EXPECT_EQ(saves[0].learned[0].name, "other");
    EXPECT_EQ(saves[0].learned[0].address, Learned);
}

TEST(PendingQueries, WritesTheWholeTableAfterAStaleOrFailedAppend) {
    Machine machine(true);
    for (std::uint16_t id : {1, 2}) {
        machine.Ask(id, {"name" + std::to_string(id)});
        machine.Resolve("name" + std::to_string(id), Learned);
    }
    const std::vector<SaveJob> appends = machine.Saves();
    ASSERT_EQ(appends.size(), 2u);
    EXPECT_FALSE(appends[0].whole || appends[1].whole);
    // Someone else changed the file: both come back stale, and one whole write covers both.
    machine.Saved(appends[0].ticket, 0, true);
    machine.Saved(appends[1].ticket, 0, true);
    std::vector<SaveJob> whole = machine.Saves();
    ASSERT_EQ(whole.size(), 1u);
    EXPECT_TRUE(whole[0].whole);
    EXPECT_THAT(machine.Replies(), IsEmpty());
    // A failed write is answered all the same, says why, and the next learned name is written whole.
    machine.Saved(whole[0].ticket, 28);
    EXPECT_THAT(machine.Replies(), ElementsAre("1001 10.0.0.8", "1002 10.0.0.8"));
    EXPECT_TRUE(machine.out.console.ends_with("> Error: could not save resolutions to t.drf: Disk full\n"));
    machine.Ask(3, {"name3"});
    machine.Resolve("name3", Learned);
    whole = machine.Saves();
    ASSERT_EQ(whole.size(), 1u);
    EXPECT_TRUE(whole[0].whole);
}

TEST(PendingQueries, NeverLearnsNumericNamesOrZeroAndBoundsTheWaiting) {
    Machine machine;
    machine.Ask(1, {"3000000001"});
    machine.Resolve("3000000001", MakeAddress(178, 208, 94, 1), true);
    machine.Ask(2, {"zero"});
    machine.Resolve("zero", 0);
    machine.Ask(3, {"nobody"});
    machine.Resolve("nobody", std::nullopt);
    EXPECT_THAT(machine.Replies(), ElementsAre("1001 178.208.94.1", "1002 0.0.0.0", "1003 failure"));
    EXPECT_THAT(machine.Lookups(), ElementsAre("3000000001", "zero", "nobody"));
    EXPECT_THAT(machine.Saves(), IsEmpty());
    EXPECT_EQ(ResolutionCount(machine.table), 3u);
    // A result nobody waits for changes nothing; a datagram that is no query gets nothing.
    machine.Resolve("unasked", Learned);
    Bytes response = MakeQuery(4, {"printer"});
    response[2] |= 0x80;
    TakeQuery(machine.queries, response, {Client, 1004, 0}, machine.out);
    EXPECT_THAT(machine.Replies(), IsEmpty());
    EXPECT_EQ(machine.out.console.find("unasked"), std::string::npos);
    // Beyond MostWaitingQueries held at once, a query fails at once.
    for (std::size_t i = 0; i < MostWaitingQueries; ++i)
        machine.Ask(5, {"slow"});
    EXPECT_THAT(machine.Replies(), IsEmpty());
    machine.Ask(6, {"printer"});
    machine.Ask(7, {"other"});
    EXPECT_THAT(machine.Replies(), ElementsAre("1006 192.168.1.20", "1007 failure"));
    EXPECT_THAT(machine.Lookups(), ElementsAre("slow"));
}

TEST(PendingQueries, TakesTheFileTableWholeAndKeepsTheNamesStillGoingToDisk) {
    Machine machine(true);
    machine.Ask(1, {"learned"});
    machine.Resolve("learned", Learned);
    ASSERT_EQ(machine.Saves().size(), 1u);
    machine.Lookups();
    SaveOutcome reloaded;
    reloaded.reload = SaveOutcome::Reload::Loaded;
    reloaded.table = std::make_unique<ResolutionTable>();
    AppendResolution(*reloaded.table, {"added", {}, 0, Nas});
    TakeSaveOutcome(machine.queries, std::move(reloaded), "t.drf", "", machine.out);
    EXPECT_THAT(EntryNames(machine.table), ElementsAre("added", "learned"));
    machine.Ask(2, {"added"});
    machine.Ask(3, {"printer"}); // gone with the old table: asked of the resolver
    EXPECT_THAT(machine.Replies(), ElementsAre("1002 192.168.1.30"));
    EXPECT_THAT(machine.Lookups(), ElementsAre("printer"));
    machine.Saved(1);
    EXPECT_THAT(machine.Replies(), ElementsAre("1001 10.0.0.8"));
    EXPECT_TRUE(machine.out.console.starts_with("> Resolutions reloaded: 2 entries\n"));
}
