#include "dns/pending_queries.h"

#include "common/ipv4.h"
#include "common/messages.h"
#include "dns/query_answer.h"
#include "resolutions/resolution_file.h"

#include <algorithm>

namespace {

// Resolvers and clients may ask in any letter case: one lookup, and one learned entry, per name.
std::string LowerCase(std::string_view name) {
    std::string lower(name);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

// Only a query from this machine can be one of its lookups: one from a loopback address, or one whose sender is
// the address it was sent to. Others are not asked about, which costs a look at the system's sockets.
bool FromThisMachine(const ReplyRoute& route) {
    return IsLoopbackAddress(route.address) || route.address == route.from;
}

// The answer for the query with its console line: an address, or no such name, or a server failure.
void Reply(PendingQueries& queries, const Query& query, ReplyRoute route, const HostLookup& answer,
           PendingOutput& out) {
    const bool found = answer.outcome == HostLookup::Outcome::Found;
    AppendQueryLine(out.console, route.address, query.name, found ? std::optional(answer.address) : std::nullopt,
                    queries.terminal);
    const std::size_t offset = out.bytes.size();
    out.bytes.resize(offset + AnswerMessageLength(query));
    const std::span<std::uint8_t> room(out.bytes.data() + offset, out.bytes.size() - offset);
    std::size_t length = 0;
    if (found) {
        length = WriteAnswerMessage(room, query, answer.address);
    } else if (answer.outcome == HostLookup::Outcome::NoSuchName) {
        ++queries.counters.noSuchName;
        length = WriteFailureMessage(room, query, NoSuchName);
    } else {
        ++queries.counters.serverFailures;
        length = WriteFailureMessage(room, query, ServerFailure);
    }
    out.bytes.resize(offset + length);
    if (length > 0)
        out.replies.push_back({route, offset, length});
}

void ReplyWithHeader(std::span<const std::uint8_t> datagram, ReplyRoute route, std::uint8_t responseCode,
                     PendingOutput& out) {
    const std::size_t offset = out.bytes.size();
    out.bytes.resize(offset + QueryNameOffset);
    out.bytes.resize(offset + WriteErrorHeader({out.bytes.data() + offset, QueryNameOffset}, datagram, responseCode));
    out.replies.push_back({route, offset, out.bytes.size() - offset});
}

const HostLookup Failure{};

// Ends the lookup: each waiting query gets the answer. That a forward entry's target does not exist says nothing of
// the entry's own name: a server failure. A loopback address from the resolver means this machine, which a
// client elsewhere reaches at the server's own address for it.
void Finish(PendingQueries& queries, const std::string& name, const HostLookup& answer, PendingOutput& out) {
    const auto found = queries.pending.find(name);
    if (found == queries.pending.end())
        return;
    const bool thisMachine = answer.outcome == HostLookup::Outcome::Found && IsLoopbackAddress(answer.address) &&
                             found->second.lookupName != "localhost";
    for (const WaitingQuery& waiting : found->second.waiting) {
        HostLookup given = answer;
        if (!waiting.learn && given.outcome == HostLookup::Outcome::NoSuchName)
            given = Failure;
        if (thisMachine)
            given.address = ChooseServerAddress(queries.addresses, waiting.route.address);
        if (given.outcome == HostLookup::Outcome::Found && found->second.state == PendingState::Resolving)
            ++queries.counters.forwarded;
        const Query query{waiting.head, waiting.head.size() - QueryNameOffset, waiting.name};
        Reply(queries, query, waiting.route, given, out);
    }
    queries.waitingCount -= found->second.waiting.size();
    queries.pending.erase(found);
}

// Hands unknown names to the resolver while it has threads free, one client's name at a time in turn.
void StartUnknownLookups(PendingQueries& queries, PendingOutput& out) {
    while (queries.unknownUnderWay < ResolverThreads && !queries.clientsInTurn.empty()) {
        const std::uint32_t client = queries.clientsInTurn.front();
        queries.clientsInTurn.pop_front();
        std::deque<std::string>& names = queries.turns[client];
        const std::string name = std::move(names.front());
        names.pop_front();
        --queries.unknownWaiting;
        if (names.empty())
            queries.turns.erase(client);
        else
            queries.clientsInTurn.push_back(client);
        const auto found = queries.pending.find(name);
        if (found == queries.pending.end())
            continue;
        found->second.underWay = true;
        ++queries.unknownUnderWay;
        out.lookups.push_back({name, LookupLane::Unknown});
    }
}

// Starts a lookup of the name for the client: a forward entry's target at once in a lane of its own, a name the
// table lacks in the client's turn. False when too many wait already.
bool StartLookup(PendingQueries& queries, const std::string& name, std::uint32_t client, bool learn,
                 PendingOutput& out) {
    PendingLookup lookup;
    lookup.lookupName = name;
    if (!learn) {
        lookup.lane = LookupLane::Forward;
        lookup.underWay = true;
        out.lookups.push_back({name, LookupLane::Forward});
    } else {
        const auto turn = queries.turns.find(client);
        const std::size_t waiting = turn == queries.turns.end() ? 0 : turn->second.size();
        if (waiting >= MostWaitingLookupsPerClient || queries.unknownWaiting >= MostQueuedLookups)
            return false;
        if (waiting == 0)
            queries.clientsInTurn.push_back(client);
        queries.turns[client].push_back(name);
        ++queries.unknownWaiting;
    }
    queries.pending.emplace(name, std::move(lookup));
    StartUnknownLookups(queries, out);
    return true;
}

// Joins the query to the lookup of its name, starting one when none is under way.
void AwaitLookup(PendingQueries& queries, const Query& query, ReplyRoute route, std::string_view lookupName, bool learn,
                 PendingOutput& out) {
    std::string key = LowerCase(lookupName);
    auto found = queries.pending.find(key);
    if (queries.waitingCount >= MostWaitingQueries ||
        (found == queries.pending.end() && !StartLookup(queries, key, route.address, learn, out))) {
        ++queries.counters.refused;
        Reply(queries, query, route, Failure, out);
        return;
    }
    found = queries.pending.find(key);
    const std::span<const std::uint8_t> head = QueryHead(query);
    found->second.waiting.push_back({{head.begin(), head.end()}, std::string(query.name), route, learn});
    ++queries.waitingCount;
}

// The table that the file holds now replaces the one answered from. Names learned and not on disk yet are
// added again: their clients were, or will be, told them.
void TakeFileTable(PendingQueries& queries, std::unique_ptr<ResolutionTable> table, PendingOutput& out) {
    std::swap(queries.table, *table);
    out.saves.emplace_back(std::in_place_type<FreeTable>, FreeTable{std::move(table)});
    for (const auto& saving : queries.saving)
        if (!FindResolution(queries.table, saving.second)) {
            const auto found = queries.pending.find(saving.second);
            AppendResolution(queries.table, {saving.second, {}, 0, found->second.address});
        }
    out.console += "> Resolutions reloaded: " + std::to_string(ResolutionCount(queries.table)) + " entries\n";
}

// Names up to the ticket are on disk, or kept by the saver for a later write: their clients are told.
void SettleLearnedNames(PendingQueries& queries, std::uint64_t upTo, PendingOutput& out) {
    while (!queries.saving.empty() && queries.saving.front().first <= upTo) {
        const std::string name = std::move(queries.saving.front().second);
        queries.saving.pop_front();
        const auto found = queries.pending.find(name);
        if (found != queries.pending.end())
            Finish(queries, name, {HostLookup::Outcome::Found, found->second.address}, out);
    }
}

} // namespace

void TakeQuery(PendingQueries& queries, std::span<const std::uint8_t> datagram, ReplyRoute route, PendingOutput& out) {
    switch (ClassifyDatagram(datagram)) {
    case DatagramKind::Response:
        ++queries.counters.responses;
        return;
    case DatagramKind::Malformed:
        ++queries.counters.malformed;
        return;
    case DatagramKind::OtherOpcode:
        ReplyWithHeader(datagram, route, NotImplemented, out);
        return;
    case DatagramKind::NotOneQuestion:
        ReplyWithHeader(datagram, route, FormatError, out);
        return;
    case DatagramKind::Query:
        break;
    }
    const std::optional<Query> query = ReadQuery(datagram, queries.queryName);
    if (!query) {
        ++queries.counters.malformed;
        return;
    }
    // A learned name being saved is answered only once it is on disk.
    if (!queries.saving.empty()) {
        const auto found = queries.pending.find(LowerCase(query->name));
        if (found != queries.pending.end() && found->second.state == PendingState::Saving) {
            AwaitLookup(queries, *query, route, query->name, true, out);
            return;
        }
    }
    const TableAnswer answer = AnswerFromTable(queries.table, queries.addresses, query->name, route.address);
    if (answer.outcome == TableAnswer::Outcome::Answered) {
        ++queries.counters.fromTable;
        Reply(queries, *query, route, {HostLookup::Outcome::Found, answer.address}, out);
    } else if (FromThisMachine(route) && queries.isOwnLookup != nullptr &&
               queries.isOwnLookup(route.address, route.port)) {
        Reply(queries, *query, route, Failure, out);
    } else {
        AwaitLookup(queries, *query, route, answer.lookupName, answer.outcome == TableAnswer::Outcome::Learn, out);
    }
}

// A lookup back from the resolver frees its place for the next unknown name.
void EndLookup(PendingQueries& queries, PendingLookup& lookup, PendingOutput& out) {
    if (lookup.lane == LookupLane::Unknown && lookup.underWay) {
        --queries.unknownUnderWay;
        StartUnknownLookups(queries, out);
    }
    lookup.underWay = false;
}

void TakeLookupResult(PendingQueries& queries, const std::string& name, const HostLookup& result, bool numeric,
                      PendingOutput& out) {
    const auto found = queries.pending.find(name);
    if (found == queries.pending.end() || found->second.state != PendingState::Resolving || !found->second.underWay)
        return;
    PendingLookup& lookup = found->second;
    EndLookup(queries, lookup, out);
    const bool learn = std::any_of(lookup.waiting.begin(), lookup.waiting.end(),
                                   [](const WaitingQuery& waiting) { return waiting.learn; });
    // A numeric name costs the resolver nothing, and learning it would let any client grow the file without
    // bound; 0.0.0.0 would be learned as "Local", and a loopback address is this machine's, not the name's.
    if (result.outcome != HostLookup::Outcome::Found || !learn || result.address == 0 || numeric ||
        IsLoopbackAddress(result.address) || FindResolution(queries.table, name)) {
        Finish(queries, name, result, out);
        return;
    }
    // Learned: into the table at once, so that a whole-file write holds it, but answered only once it is on
    // disk. Queries for it meanwhile join the waiting ones.
    lookup.state = PendingState::Saving;
    lookup.address = result.address;
    ++queries.counters.learned;
    AppendResolution(queries.table, {name, {}, 0, result.address});
    lookup.ticket = ++queries.lastTicket;
    queries.saving.emplace_back(lookup.ticket, name);
    // The saver puts it on disk, and says when its clients may be told.
    out.saves.emplace_back(std::in_place_type<SaveLearnedName>, SaveLearnedName{lookup.ticket, {name, result.address}});
}

void RefuseLookup(PendingQueries& queries, const std::string& name, PendingOutput& out) {
    const auto found = queries.pending.find(name);
    if (found == queries.pending.end() || !found->second.underWay)
        return;
    ++queries.counters.refused;
    EndLookup(queries, found->second, out);
    Finish(queries, name, Failure, out);
}

void TakeSaverReport(PendingQueries& queries, SaverReport report, PendingOutput& out) {
    if (auto* settled = std::get_if<LearnedNamesSettled>(&report))
        SettleLearnedNames(queries, settled->upTo, out);
    else if (auto* changed = std::get_if<FileTableChanged>(&report))
        TakeFileTable(queries, std::move(changed->table), out);
    else if (std::holds_alternative<WholeTableWanted>(report))
        out.saves.emplace_back(std::in_place_type<SaveWholeTable>,
                               SaveWholeTable{SerializeResolutionTable(queries.table)});
    else if (auto* notice = std::get_if<SaverNotice>(&report))
        out.console += notice->lines;
    else if (auto* failed = std::get_if<SaveFailed>(&report))
        out.console += failed->line;
}
