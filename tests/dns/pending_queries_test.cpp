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
    void Ask(std::uint16_t id, std::initializer_list<std::string_view> labels, std::uint32_t client = Client) {
        TakeQuery(queries, MakeQuery(id, labels), {client, static_cast<std::uint16_t>(1000 + id), 0}, out);
    }
    void Resolve(const std::string& name, std::optional<std::uint32_t> address, bool numeric = false) {
        TakeLookupResult(queries, name, {HostLookup::Outcome::Found, address.value_or(0)}, numeric, out);
    }
    void Fail(const std::string& name, HostLookup::Outcome outcome) {
        TakeLookupResult(queries, name, {outcome, 0}, false, out);
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
            const char* const codes[] = {"", "format error", "failure", "no such name", "not implemented"};
            replies.push_back(std::to_string(reply.to.port) + " " +
                              (message[3] == 0 ? DottedAddress(address).data() : codes[message[3] & 7]));
        }
        out.replies.clear();
        out.bytes.clear();
        return replies;
    }
    // The lookups started so far, as "NAME" for names the table lacks and "NAME forward" for forward targets.
    std::vector<std::string> Lookups() {
        std::vector<std::string> names;
        for (const PendingOutput::Lookup& lookup : std::exchange(out.lookups, {}))
            names.push_back(lookup.name + (lookup.lane == LookupLane::Forward ? " forward" : ""));
        return names;
    }
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
    EXPECT_THAT(machine.Lookups(), ElementsAre("nas.lan forward")); // one lookup for both
    machine.Resolve("nas.lan", Nas);
    EXPECT_THAT(machine.Replies(), ElementsAre("1003 192.168.1.30", "1004 192.168.1.30"));
    EXPECT_EQ(machine.out.console, "> 192.168.0.9: printer -> 192.168.1.20\n> 192.168.0.9: gateway -> 192.168.0.2\n"
                                   "> 192.168.0.9: files -> 192.168.1.30\n> 192.168.0.9: files -> 192.168.1.30\n");
    EXPECT_THAT(machine.Saves(), IsEmpty());
    EXPECT_EQ(ResolutionCount(machine.table), 3u);
    // A forward entry's target that does not exist is a failure of the server's, not a name that is missing.
    machine.Ask(5, {"files"});
    machine.Fail("nas.lan", HostLookup::Outcome::NoSuchName);
    EXPECT_THAT(machine.Replies(), ElementsAre("1005 failure"));
    // A loopback address from the resolver is this machine, as each client sees it; localhost stays itself.
    machine.Ask(6, {"FILES"});
    machine.Ask(7, {"localhost"});
    machine.Resolve("nas.lan", MakeAddress(127, 0, 1, 1));
    machine.Resolve("localhost", MakeAddress(127, 0, 0, 1));
    EXPECT_THAT(machine.Replies(), ElementsAre("1006 192.168.0.2", "1007 127.0.0.1"));
    EXPECT_EQ(ResolutionCount(machine.table), 3u);
}

TEST(PendingQueries, AnswersALearnedNameOnlyOnceItIsOnDisk) {
    Machine machine;
    // In any letter case, as resolvers ask: one lookup, one entry, each answer echoing its own question.
    machine.Ask(1, {"new", "lan"});
    machine.Ask(2, {"NeW", "LAN"});
    EXPECT_THAT(machine.Lookups(), ElementsAre("new.lan"));
    machine.Resolve("new.lan", Learned);
    // Not loaded from a file that held the table exactly: written whole, and nobody answered yet.
    std::vector<SaveJob> saves = machine.Saves();
    ASSERT_EQ(saves.size(), 1u);
    EXPECT_TRUE(saves[0].whole);
    EXPECT_THAT(saves[0].bytes, ElementsAreArray(SerializeResolutionTable(machine.table)));
    EXPECT_THAT(EntryNames(machine.table), ElementsAre("printer", "files", "gateway", "new.lan"));
    machine.Ask(3, {"nEw", "lan"}); // joins: not answered before the disk has it
    machine.Ask(4, {"printer"});
    EXPECT_THAT(machine.Replies(), ElementsAre("1004 192.168.1.20"));
    EXPECT_THAT(machine.Lookups(), IsEmpty());
    machine.Saved(saves[0].ticket);
    EXPECT_THAT(machine.Replies(), ElementsAre("1001 10.0.0.8", "1002 10.0.0.8", "1003 10.0.0.8"));
    // From the table from now on; the file written whole now holds the table, so the next one is appended.
    machine.Ask(5, {"NEW", "lan"});
    machine.Ask(6, {"Other"});
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
    machine.Fail("nobody", HostLookup::Outcome::NoSuchName);
    EXPECT_THAT(machine.Replies(), ElementsAre("1001 178.208.94.1", "1002 0.0.0.0", "1003 no such name"));
    EXPECT_THAT(machine.Lookups(), ElementsAre("3000000001", "zero", "nobody"));
    EXPECT_THAT(machine.Saves(), IsEmpty());
    EXPECT_EQ(ResolutionCount(machine.table), 3u);
    // A result nobody waits for changes nothing; a response gets nothing, an update "not implemented", and
    // neither a line.
    const std::size_t lines = machine.out.console.size();
    machine.Resolve("unasked", Learned);
    Bytes response = MakeQuery(4, {"printer"}), update = MakeQuery(8, {"printer"});
    response[2] |= 0x80;
    update[2] = 0x28;
    TakeQuery(machine.queries, response, {Client, 1004, 0}, machine.out);
    TakeQuery(machine.queries, update, {Client, 1008, 0}, machine.out);
    EXPECT_THAT(machine.Replies(), ElementsAre("1008 not implemented"));
    EXPECT_EQ(machine.out.console.size(), lines);
    // Beyond MostWaitingQueries held at once, a query fails at once.
    for (std::size_t i = 0; i < MostWaitingQueries; ++i)
        machine.Ask(5, {"slow"});
    EXPECT_THAT(machine.Replies(), IsEmpty());
    machine.Ask(6, {"printer"});
    machine.Ask(7, {"other"});
    EXPECT_THAT(machine.Replies(), ElementsAre("1006 192.168.1.20", "1007 failure"));
    EXPECT_THAT(machine.Lookups(), ElementsAre("slow"));
    const ServiceCounters& counted = machine.queries.counters;
    EXPECT_EQ(std::vector({counted.fromTable, counted.forwarded, counted.noSuchName, counted.serverFailures,
                           counted.responses, counted.refused}),
              (std::vector<std::uint64_t>{1, 2, 1, 1, 1, 1}));
}

TEST(PendingQueries, SharesTheResolverFairlyAndNeverWaitsOnItself) {
    Machine machine;
    const std::uint32_t flood = MakeAddress(192, 168, 0, 66);
    // One client's flood: the resolver's threads busy, its own turn bounded, the rest refused at once.
    for (std::uint16_t i = 0; i < 30; ++i)
        machine.Ask(i, {"flood" + std::to_string(i)}, flood);
    EXPECT_THAT(machine.Lookups(), ElementsAre("flood0", "flood1", "flood2", "flood3"));
    EXPECT_EQ(machine.Replies().size(), 30u - ResolverThreads - MostWaitingLookupsPerClient);
    // Another client's name takes its turn after one of the flood's waiting names; a forward target never waits.
    machine.Ask(100, {"mine"});
    machine.Ask(101, {"files"});
    EXPECT_THAT(machine.Lookups(), ElementsAre("nas.lan forward"));
    machine.Fail("flood0", HostLookup::Outcome::Failed);
    machine.Fail("flood1", HostLookup::Outcome::Failed);
    EXPECT_THAT(machine.Lookups(), ElementsAre("flood4", "mine"));
    // A query from one of the server's own lookups, back through the machine's resolver, fails at once.
    machine.queries.isOwnLookup = [](std::uint32_t, std::uint16_t port) { return port == 1200; };
    machine.Replies();
    machine.Ask(200, {"mine", "lan"}, MakeAddress(127, 0, 0, 1));
    machine.Ask(7, {"printer"}, MakeAddress(127, 0, 0, 1));
    EXPECT_THAT(machine.Replies(), ElementsAre("1200 failure", "1007 192.168.1.20"));
    EXPECT_THAT(machine.Lookups(), IsEmpty());
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
