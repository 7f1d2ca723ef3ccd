#include "dns/query_engine.h"

#include "dns/resolver_pool.h"

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

EngineSettings Settings() {
    EngineSettings settings{ResolverThreads, MostQueuedLookups, 60, "gate", {MakeAddress(192, 168, 0, 2)}, {}};
    settings.localDomains.Add("lan");
    return settings;
}

// The machine on a table of printer (fixed), files (forwarded to nas.lan) and gateway (Local), with the local
// domain lan, its output gathered step by step. Every reply goes to Client from port 1000 + its query's ID.
struct Machine {
    ResolutionTable table;
    LocalAddressList addresses{{MakeAddress(127, 0, 0, 1), MakeAddress(192, 168, 0, 2)}, MakeAddress(10, 0, 0, 5)};
    QueryEngine engine{table, addresses, false, Settings()};
    EngineOutput out;
    QueryEngine::Clock::time_point now{};
    std::vector<std::uint32_t> timesToLive; // of the replies Replies saw last

    Machine() {
        AppendResolution(table, {"printer", {}, 0, Printer});
        AppendResolution(table, {"files", "nas.lan", ForwardKind, 0});
        AppendResolution(table, {"gateway", {}, 0, 0});
    }
    void Take(const Bytes& datagram, std::uint32_t client, std::uint16_t port) {
        QueryNames names;
        engine.TakeDatagram(ReadDatagram(datagram, names), {client, port, 0, 0}, now, out);
    }
    void Ask(std::uint16_t id, std::initializer_list<std::string_view> labels, std::uint32_t client = Client,
             std::uint16_t type = TypeA) {
        Take(MakeQuery(id, labels, type), client, static_cast<std::uint16_t>(1000 + id));
    }
    void Resolve(const std::string& name, std::optional<std::uint32_t> address, bool numeric = false) {
        engine.TakeLookupResult({name, {HostLookup::Outcome::Found, address.value_or(0)}, numeric}, now, out);
    }
    void Fail(const std::string& name, HostLookup::Outcome outcome) {
        engine.TakeLookupResult({name, {outcome, 0}}, now, out);
    }
    void Settled(std::uint64_t ticket) { engine.TakeSaverReport(LearnedNamesSettled{ticket}, out); }
    // The reply messages so far, each to its port, and nothing of them left in the output.
    std::vector<std::pair<std::uint16_t, Bytes>> Messages() {
        std::vector<std::pair<std::uint16_t, Bytes>> messages;
        for (const EngineOutput::Reply& reply : out.replies)
            messages.emplace_back(reply.to.port, Bytes(out.bytes.begin() + long(reply.offset),
                                                       out.bytes.begin() + long(reply.offset + reply.length)));
        out.replies.clear();
        out.bytes.clear();
        return messages;
    }
    // The replies so far as "PORT ADDRESS" or "PORT failure", " +opt" (" do") behind one with an OPT record (and
    // DO), and nothing of them left in the output.
    std::vector<std::string> Replies() {
        std::vector<std::string> replies;
        timesToLive.clear();
        for (const auto& [port, message] : Messages()) {
            const char* const codes[] = {"no data",      "format error",    "failure",
                                         "no such name", "not implemented", "refused"};
            std::size_t record = 12;
            while (record < message.size() && message[record] != 0)
                record += 1 + message[record];
            record += 5; // the root label, type and class
            const bool answered = (message[3] & 0x0F) == 0 && message[7] == 1 && record + 16 <= message.size();
            const std::uint32_t address = answered ? MakeAddress(message[record + 12], message[record + 13],
                                                                 message[record + 14], message[record + 15])
                                                   : 0;
            const bool ptr = answered && message[record + 3] == 12;
            const bool opt = message[11] == 1; // ours is the last record
            replies.push_back(std::to_string(port) + " " +
                              (ptr                        ? "name"
                               : answered                 ? DottedAddress(address).data()
                               : opt && message.end()[-6] ? "bad version"
                                                          : codes[message[3] & 7]) +
                              (opt ? message.end()[-4] != 0 ? " +opt do" : " +opt" : ""));
            // Where an answer has a record or an SOA, its time to live.
            const std::size_t ttlAt = record + 6;
            if ((message[7] == 1 || message[9] == 1) && ttlAt + 4 <= message.size())
                timesToLive.push_back(std::uint32_t(message[ttlAt] << 24 | message[ttlAt + 1] << 16 |
                                                    message[ttlAt + 2] << 8 | message[ttlAt + 3]));
        }
        return replies;
    }
    // The lookups started so far, as "NAME" for names the table lacks and "NAME forward" for forward targets.
    std::vector<std::string> Lookups() {
        std::vector<std::string> names;
        for (const LookupRequest& lookup : std::exchange(out.lookups, {}))
            names.push_back(lookup.name + (lookup.lane == LookupLane::Forward ? " forward" : ""));
        return names;
    }
    std::vector<SaverJob> Saves() { return std::exchange(out.saves, {}); }
    // The learned names handed to the saver so far, as "TICKET NAME ADDRESS"; nothing else may have been asked.
    std::vector<std::string> Learned() {
        std::vector<std::string> learned;
        for (const SaverJob& job : Saves()) {
            const auto* name = std::get_if<SaveLearnedName>(&job);
            EXPECT_NE(name, nullptr);
            if (name != nullptr)
                learned.push_back(std::to_string(name->ticket) + " " + name->learned.name + " " +
                                  DottedAddress(name->learned.address).data());
        }
        return learned;
    }
};

} // namespace

TEST(QueryEngine, AnswersFromTheTableAtOnceAndForwardsWithoutLearning) {
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

TEST(QueryEngine, AnswersALearnedNameOnlyOnceTheSaverHasSettledIt) {
    Machine machine;
    // In any letter case, as resolvers ask: one lookup, one entry, each answer echoing its own question.
    machine.Ask(1, {"new", "lan"});
    machine.Ask(2, {"NeW", "LAN"});
    EXPECT_THAT(machine.Lookups(), ElementsAre("new.lan"));
    machine.Resolve("new.lan", Learned);
    // One job with the name, never the table: the saver decides how the file takes it.
    EXPECT_THAT(machine.Learned(), ElementsAre("1 new.lan 10.0.0.8"));
    EXPECT_THAT(EntryNames(machine.table), ElementsAre("printer", "files", "gateway", "new.lan"));
    machine.Ask(3, {"nEw", "lan"}); // joins: not answered before the saver has it
    machine.Ask(4, {"printer"});
    machine.Ask(5, {"Other"});
    machine.Resolve("other", Learned);
    EXPECT_THAT(machine.Replies(), ElementsAre("1004 192.168.1.20"));
    EXPECT_THAT(machine.Learned(), ElementsAre("2 other 10.0.0.8"));
    EXPECT_THAT(machine.Lookups(), ElementsAre("other"));
    machine.Settled(1);
    EXPECT_THAT(machine.Replies(), ElementsAre("1001 10.0.0.8", "1002 10.0.0.8", "1003 10.0.0.8"));
    machine.Settled(2);
    EXPECT_THAT(machine.Replies(), ElementsAre("1005 10.0.0.8"));
    // From the table from now on.
    machine.Ask(6, {"NEW", "lan"});
    EXPECT_THAT(machine.Replies(), ElementsAre("1006 10.0.0.8"));
    EXPECT_THAT(machine.Lookups(), IsEmpty());
}

TEST(QueryEngine, GivesItsWholeTableOnlyWhenTheSaverAsksAndShowsItsLines) {
    Machine machine;
    machine.Ask(1, {"name1"});
    machine.Resolve("name1", Learned);
    machine.Saves();
    machine.engine.TakeSaverReport(WholeTableWanted{}, machine.out);
    machine.engine.TakeSaverReport(SaverNotice{"> Warning: one\n> Error: two\n"}, machine.out);
    std::vector<SaverJob> saves = machine.Saves();
    ASSERT_EQ(saves.size(), 1u);
    const auto* whole = std::get_if<SaveWholeTable>(&saves[0]);
    ASSERT_NE(whole, nullptr);
    EXPECT_THAT(EntryNames(*ParseResolutionFile(whole->table).table),
                ElementsAre("printer", "files", "gateway", "name1"));
    EXPECT_TRUE(machine.out.console.ends_with("> Warning: one\n> Error: two\n"));
}

TEST(QueryEngine, NeverLearnsNumericNamesOrZeroAndBoundsTheWaiting) {
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
    // A result nobody waits for changes nothing; a response gets nothing, not even a line.
    const std::size_t lines = machine.out.console.size();
    machine.Resolve("unasked", Learned);
    Bytes response = MakeQuery(4, {"printer"});
    response[2] |= 0x80;
    machine.Take(response, Client, 1004);
    EXPECT_THAT(machine.Replies(), IsEmpty());
    EXPECT_EQ(machine.out.console.size(), lines);
    const ServiceCounters& counted = machine.engine.Counters();
    EXPECT_EQ(std::vector({counted.fromTable, counted.forwarded, counted.noSuchName, counted.serverFailures,
                           counted.responses, counted.refused}),
              (std::vector<std::uint64_t>{0, 2, 1, 0, 1, 0}));
}

TEST(QueryEngine, KeepsThreadsAndPlacesForOtherClientsWhileOneFloods) {
    Machine machine;
    const std::uint32_t flood = MakeAddress(192, 168, 0, 66);
    // One client's silent names: a share of the threads, a line of its own bounded, the rest failed at once.
    const std::size_t share = ResolverThreads * 3 / 4, asked = share + ClientTurns::MostNamesPerClient + 10;
    std::vector<std::string> started;
    for (std::uint16_t i = 0; i < asked; ++i) {
        machine.Ask(i, {"flood" + std::to_string(i)}, flood);
        if (i < share)
            started.push_back("flood" + std::to_string(i));
    }
    EXPECT_EQ(machine.Lookups(), started);
    EXPECT_EQ(machine.Replies().size(), 10u);
    // Another client's new name finds a thread at once; a forward target never waits.
    machine.Ask(100, {"mine"});
    machine.Ask(101, {"files"});
    EXPECT_THAT(machine.Lookups(), ElementsAre("mine", "nas.lan forward"));
    // One silent name asked again and again: its queries count against their client, not against everyone.
    for (std::uint16_t i = 0; i < 2 * ClientWaits::MostPerClient; ++i)
        machine.Ask(200, {"flood0"}, flood);
    const std::size_t room = ClientWaits::MostPerClient - (asked - 10);
    EXPECT_EQ(machine.Replies().size(), 2 * ClientWaits::MostPerClient - room);
    machine.Ask(102, {"files"});
    machine.Ask(103, {"another"});
    EXPECT_THAT(machine.Lookups(), ElementsAre("another"));
    EXPECT_THAT(machine.Replies(), IsEmpty());
}

TEST(QueryEngine, TellsAWaitingQueryOfAFailureBeforeItsClientGivesUp) {
    Machine machine;
    const auto half = std::chrono::milliseconds(LongestWait) / 2;
    machine.Ask(1, {"slow"});
    machine.now += half;
    machine.Ask(2, {"slow"});
    machine.engine.AnswerOverdue(machine.now + half - std::chrono::milliseconds(1), machine.out);
    EXPECT_THAT(machine.Replies(), IsEmpty());
    machine.engine.AnswerOverdue(machine.now + half, machine.out);
    EXPECT_THAT(machine.Replies(), ElementsAre("1001 failure"));
    machine.engine.AnswerOverdue(machine.now + LongestWait, machine.out);
    EXPECT_THAT(machine.Replies(), ElementsAre("1002 failure"));
    EXPECT_EQ(machine.engine.NextDeadline(), std::nullopt);
    // The lookup goes on, and what it finds late is still learned for the next query.
    EXPECT_THAT(machine.Lookups(), ElementsAre("slow"));
    machine.Resolve("slow", Learned);
    EXPECT_THAT(machine.Learned(), ElementsAre("1 slow 10.0.0.8"));
    machine.Settled(1);
    EXPECT_THAT(machine.Replies(), IsEmpty());
    machine.Ask(3, {"slow"});
    EXPECT_THAT(machine.Replies(), ElementsAre("1003 10.0.0.8"));
}

TEST(QueryEngine, NeverWaitsOnItselfNorTakesNamesItCannotPassOn) {
    Machine machine;
    // A query from one of the server's own lookups, back through the machine's resolver, fails at once.
    machine.engine.SetOwnLookupCheck([](std::uint32_t, std::uint16_t port) { return port == 1200; });
    machine.Ask(200, {"mine", "lan"}, MakeAddress(127, 0, 0, 1));
    machine.Ask(7, {"printer"}, MakeAddress(127, 0, 0, 1));
    // A label holding a dot, a control byte or a byte of 0x80 and above is answered from the table if an entry
    // has exactly that name, else it does not exist: given to the resolver or the file it would be another name.
    AppendResolution(machine.table, {"x\x80y.lan", {}, 0, Nas});
    AppendResolution(machine.table, {"x.y.lan", {}, 0, Learned});
    machine.Ask(8, {"x\x80y", "lan"});
    machine.Ask(9, {"x\x01y", "lan"});
    machine.Ask(10, {"x.y", "lan"});
    EXPECT_THAT(machine.Replies(), ElementsAre("1200 failure", "1007 192.168.1.20", "1008 192.168.1.30",
                                               "1009 no such name", "1010 no such name"));
    EXPECT_THAT(machine.Lookups(), IsEmpty());
    EXPECT_THAT(machine.Saves(), IsEmpty());
}

TEST(QueryEngine, TakesTheFileTableWholeAndKeepsTheNamesStillGoingToDisk) {
    Machine machine;
    machine.Ask(1, {"learned"});
    machine.Resolve("learned", Learned);
    ASSERT_EQ(machine.Saves().size(), 1u);
    machine.Lookups();
    auto table = std::make_unique<ResolutionTable>();
    AppendResolution(*table, {"added", {}, 0, Nas});
    machine.engine.TakeSaverReport(FileTableChanged{std::move(table)}, machine.out);
    EXPECT_THAT(EntryNames(machine.table), ElementsAre("added", "learned"));
    // The old table goes to the saver to be freed there.
    std::vector<SaverJob> saves = machine.Saves();
    ASSERT_EQ(saves.size(), 1u);
    ASSERT_TRUE(std::holds_alternative<FreeTable>(saves[0]));
    EXPECT_THAT(EntryNames(*std::get<FreeTable>(saves[0]).table),
                ElementsAre("printer", "files", "gateway", "learned"));
    machine.Ask(2, {"added"});
    machine.Ask(3, {"printer"}); // gone with the old table: asked of the resolver
    EXPECT_THAT(machine.Replies(), ElementsAre("1002 192.168.1.30"));
    EXPECT_THAT(machine.Lookups(), ElementsAre("printer"));
    machine.Settled(1);
    EXPECT_THAT(machine.Replies(), ElementsAre("1001 10.0.0.8"));
    EXPECT_TRUE(machine.out.console.starts_with("> Resolutions reloaded: 2 entries\n"));
}

TEST(QueryEngine, AnswersTheTypeAskedWithTimesToLiveThatLetAnEditReachEveryClient) {
    Machine machine;
    machine.Ask(1, {"printer"});
    machine.Ask(2, {"gateway"}, Client, TypeAny);
    machine.Ask(3, {"printer"}, Client, 28); // AAAA
    machine.Ask(4, {"files"}, Client, 15);   // MX of a forward entry
    machine.Ask(5, {"20", "1", "168", "192", "in-addr", "arpa"}, Client, TypePtr);
    machine.Ask(6, {"2", "0", "168", "192", "in-addr", "arpa"}, Client, TypePtr);
    Bytes chaos = MakeQuery(7, {"printer"});
    chaos.back() = 3; // class CH
    machine.Take(chaos, Client, 1007);
    // A fixed entry for a minute; a Local one, which differs by client, for none; no data with an SOA for a minute.
    EXPECT_THAT(machine.Replies(), ElementsAre("1001 192.168.1.20", "1002 192.168.0.2", "1003 no data", "1004 no data",
                                               "1005 name", "1006 name", "1007 refused"));
    EXPECT_THAT(machine.timesToLive, ElementsAre(60, 0, 60, 60, 60, 60));
    EXPECT_TRUE(machine.out.console.ends_with(
        "> 192.168.0.9: printer AAAA -> No data.\n> 192.168.0.9: files MX -> No data.\n"
        "> 192.168.0.9: 20.1.168.192.in-addr.arpa PTR -> printer\n> 192.168.0.9: 2.0.168.192.in-addr.arpa PTR -> "
        "gate\n> 192.168.0.9: printer -> Refused.\n"));
    // A forward entry follows its target at every query: kept by no one.
    machine.Ask(8, {"files"});
    machine.Resolve("nas.lan", Nas);
    EXPECT_THAT(machine.Replies(), ElementsAre("1008 192.168.1.30"));
    EXPECT_THAT(machine.timesToLive, ElementsAre(0));
}

TEST(QueryEngine, KeepsANameTheResolverSaysDoesNotExistForTheTimeToLiveAndTellsNoDataFromIt) {
    Machine machine;
    machine.Ask(1, {"nobody"});
    machine.Fail("nobody", HostLookup::Outcome::NoSuchName);
    machine.Ask(2, {"NOBODY"});
    machine.Ask(4, {"nobody"}, Client, 28); // AAAA: a name that does not exist has no records of any type
    EXPECT_THAT(machine.Lookups(), ElementsAre("nobody"));
    EXPECT_THAT(machine.out.relays, IsEmpty());
    EXPECT_THAT(machine.Replies(), ElementsAre("1001 no such name", "1002 no such name", "1004 no such name"));
    EXPECT_THAT(machine.timesToLive, ElementsAre(60, 60, 60));
    machine.now += std::chrono::seconds(60);
    machine.Ask(3, {"nobody"});
    EXPECT_THAT(machine.Lookups(), ElementsAre("nobody"));
    // A name that exists without an IPv4 address is no missing name.
    machine.Fail("nobody", HostLookup::Outcome::NoData);
    EXPECT_THAT(machine.Replies(), ElementsAre("1003 no data"));
}

TEST(QueryEngine, PassesOtherTypesOfUnknownNamesUpstreamAndTheirAnswersBackAsTheyCame) {
    Machine machine;
    machine.Ask(1, {"mail", "example"}, Client, 15); // MX
    machine.Ask(2, {"v6", "example"}, Client, 28);   // AAAA
    ASSERT_EQ(machine.out.relays.size(), 2u);
    EXPECT_EQ(machine.out.relays[0].query, MakeQuery(1, {"mail", "example"}, 15));
    const RelayRequest mx = machine.out.relays[0], aaaa = machine.out.relays[1];
    machine.out.relays.clear();
    Bytes answer = mx.query;
    answer[2] |= 0x80;
    answer[7] = 1; // as if with a record: passed on byte for byte
    machine.engine.TakeRelayResult({mx.route, mx.serial, answer}, machine.out);
    machine.engine.TakeRelayResult({aaaa.route, aaaa.serial, {}}, machine.out); // no server answered in time
    machine.engine.TakeRelayResult({mx.route, mx.serial, answer}, machine.out); // once only
    ASSERT_EQ(machine.out.replies.size(), 2u);
    EXPECT_EQ(Bytes(machine.out.bytes.begin(), machine.out.bytes.begin() + long(answer.size())), answer);
    EXPECT_THAT(machine.Replies(), ElementsAre(testing::_, "1002 failure"));
    EXPECT_TRUE(machine.out.console.ends_with("> 192.168.0.9: mail.example MX -> Passed on.\n"
                                              "> 192.168.0.9: v6.example AAAA -> Failure.\n"));
    EXPECT_EQ(machine.engine.Counters().passedOn, 1u);
}

TEST(QueryEngine, AnswersAnOptRecordWithItsOwnAlsoAfterAWaitAndRefusesWhatItCannotTakeWithoutALine) {
    Machine machine;
    machine.Take(WithOpt(MakeQuery(1, {"printer"}), 4096, 0, true), Client, 1001);
    machine.Take(WithOpt(MakeQuery(2, {"new"})), Client, 1002);
    machine.Resolve("new", Learned);
    machine.Settled(1);
    const std::size_t lines = machine.out.console.size();
    // A newer version, two OPT records, one cut short, an update: refused before anything is asked.
    machine.Take(WithOpt(MakeQuery(3, {"other"}), 1232, 1), Client, 1003);
    machine.Take(WithOpt(WithOpt(MakeQuery(4, {"other"}))), Client, 1004);
    const Bytes cut = WithOpt(MakeQuery(5, {"other"}));
    machine.Take(Bytes(cut.begin(), cut.end() - 1), Client, 1005);
    Bytes update = WithOpt(MakeQuery(8, {"printer"}));
    update[2] = 0x28;
    machine.Take(update, Client, 1008);
    EXPECT_THAT(machine.Replies(),
                ElementsAre("1001 192.168.1.20 +opt do", "1002 10.0.0.8 +opt", "1003 bad version +opt",
                            "1004 format error +opt", "1005 format error", "1008 not implemented +opt"));
    EXPECT_THAT(machine.Lookups(), ElementsAre("new"));
    EXPECT_EQ(machine.out.console.size(), lines);
}

TEST(QueryEngine, AnswersATableNameOfOneLabelUnderALocalDomainAsAskedWhateverItsEntry) {
    Machine machine;
    const Bytes asked = MakeQuery(1, {"PrInTeR", "LAN"});
    machine.Take(asked, Client, 1001);
    machine.Ask(2, {"gateway", "lan"});
    machine.Ask(3, {"files", "lan"});
    machine.Ask(4, {"printer", "lan"}, Client, 28); // AAAA: a table name has none, and nothing is passed on
    // The question echoed as asked, letter for letter.
    EXPECT_EQ(Bytes(machine.out.bytes.begin() + 12, machine.out.bytes.begin() + long(asked.size())),
              Bytes(asked.begin() + 12, asked.end()));
    EXPECT_THAT(machine.Replies(), ElementsAre("1001 192.168.1.20", "1002 192.168.0.2", "1004 no data"));
    EXPECT_THAT(machine.timesToLive, ElementsAre(60, 0, 60));
    EXPECT_THAT(machine.out.relays, IsEmpty());
    EXPECT_THAT(machine.Lookups(), ElementsAre("nas.lan forward"));
    machine.Resolve("nas.lan", Nas);
    EXPECT_THAT(machine.Replies(), ElementsAre("1003 192.168.1.30"));
    EXPECT_TRUE(machine.out.console.starts_with("> 192.168.0.9: PrInTeR.LAN -> 192.168.1.20\n"));
    // Only one label under the domain itself, and only where the table lacks the whole name; names under the
    // domain that no entry has are asked of the resolver and learned, as every name the table lacks.
    AppendResolution(machine.table, {"gateway.lan", {}, 0, Learned});
    machine.Ask(5, {"gateway", "lan"});
    EXPECT_THAT(machine.Replies(), ElementsAre("1005 10.0.0.8"));
    machine.Ask(6, {"x", "printer", "lan"});
    machine.Ask(7, {"printer", "example"});
    machine.Ask(8, {"nobody", "lan"});
    EXPECT_THAT(machine.Lookups(), ElementsAre("x.printer.lan", "printer.example", "nobody.lan"));
    machine.Resolve("nobody.lan", Learned);
    EXPECT_THAT(machine.Learned(), ElementsAre("1 nobody.lan 10.0.0.8"));
}

TEST(QueryEngine, HoldsBackTheLinesOfAClientBeyondItsShareAndTellsThemWhenItsSecondIsOver) {
    Machine machine;
    const auto most = QueryLineLimit::MostLinesPerSecond;
    for (std::uint16_t i = 0; i < most + 5; ++i)
        machine.Ask(i, {"printer"});
    machine.Ask(100, {"printer"}, Nas);
    EXPECT_EQ(machine.Replies().size(), most + 6); // answers are never held back
    EXPECT_EQ(std::count(machine.out.console.begin(), machine.out.console.end(), '\n'), most + 1);
    // The count comes once the second is over, also when the client has gone quiet.
    EXPECT_EQ(machine.engine.NextDeadline(), machine.now + QueryLineLimit::Second);
    machine.out.console.clear();
    machine.engine.AnswerOverdue(machine.now + QueryLineLimit::Second, machine.out);
    EXPECT_EQ(machine.out.console, "> 192.168.0.9: 5 more queries not shown\n");
    EXPECT_EQ(machine.engine.NextDeadline(), std::nullopt);
}
