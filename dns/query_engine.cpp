#include "dns/query_engine.h"

#include "common/ipv4.h"
#include "dns/reverse_names.h"
#include "resolutions/resolution_file.h"

#include <algorithm>

namespace {

const HostLookup Failure{};
const Answer FailureAnswer = Answer::Code(ServerFailure);

void ReplyWithHeader(const ReadDatagramResult& datagram, ReplyRoute route, std::uint8_t responseCode,
                     EngineOutput& out) {
    constexpr std::size_t Room = QueryNameOffset + OptRecordLength;
    const std::size_t offset = out.bytes.size();
    out.bytes.resize(offset + Room);
    out.bytes.resize(offset + WriteErrorHeader({out.bytes.data() + offset, Room}, datagram.datagram, responseCode,
                                               datagram.query.edns));
    out.replies.push_back({route, offset, out.bytes.size() - offset});
}

} // namespace

QueryEngine::QueryEngine(ResolutionTable& table, const LocalAddressList& addresses, bool terminal,
                         EngineSettings settings)
    : table_(table), addresses_(addresses), terminal_(terminal), settings_(std::move(settings)),
      turns_(settings_.resolverThreads, settings_.mostQueuedLookups, LongestWait) {}

void QueryEngine::TakeDatagram(const ReadDatagramResult& datagram, ReplyRoute route, Clock::time_point now,
                               EngineOutput& out) {
    NoteTime(now);
    switch (datagram.kind) {
    case DatagramKind::Response:
        ++counters_.responses;
        return;
    case DatagramKind::Malformed:
        ++counters_.malformed;
        return;
    case DatagramKind::OtherOpcode:
        ReplyWithHeader(datagram, route, NotImplemented, out);
        return;
    case DatagramKind::NotOneQuestion:
        ReplyWithHeader(datagram, route, FormatError, out);
        return;
    case DatagramKind::Query:
        AnswerQuery(datagram.query, route, now, out);
        return;
    }
}

void QueryEngine::AnswerQuery(const Query& query, ReplyRoute route, Clock::time_point now, EngineOutput& out) {
    // Before anything is asked, and without a line, as for the other messages we cannot take (RFC 6891 §6.1.1,
    // §6.1.3: a version above ours).
    if (query.edns.malformed || query.edns.version > 0) {
        WriteReply(query, route, Answer::Code(query.edns.malformed ? FormatError : BadVersion), out);
        return;
    }
    if (query.klass != ClassIn && query.klass != ClassAny) {
        Reply(query, route, Answer::Code(Refused), out);
        return;
    }
    if (query.type != TypeA && query.type != TypeAny) {
        AnswerOtherType(query, route, now, out);
        return;
    }
    // A learned name being saved is answered only once it is on disk.
    if (!tickets_.Unsettled().empty()) {
        const auto found = pending_.find(LowerCaseName(query.exactName));
        if (found != pending_.end() && found->second.state == State::Saving) {
            AwaitLookup(query, route, query.exactName, true, now, out);
            return;
        }
    }
    const TableAnswer answer =
        AnswerFromTable(table_, addresses_, settings_.localDomains, query.exactName, route.address);
    const bool learn = answer.outcome == TableAnswer::Outcome::Learn;
    if (answer.outcome == TableAnswer::Outcome::Answered) {
        ++counters_.fromTable;
        // A Local answer differs by client: no cache may keep it for another.
        Reply(query, route, {NoError, Answer::Record::Address, answer.address, {}, false, answer.local ? 0 : Ttl()},
              out);
    } else if (learn && (!query.plain || negative_.Knows(LowerCaseName(query.exactName), now))) {
        // Given to the resolver or the file, a name dotted text cannot carry would be another name.
        Reply(query, route, AnswerFor({HostLookup::Outcome::NoSuchName, 0}, Ttl()), out);
    } else if (ComesFromOwnLookup(route)) {
        Reply(query, route, FailureAnswer, out);
    } else {
        AwaitLookup(query, route, answer.lookupName, learn, now, out);
    }
}

// Only a query from this machine can be one of its lookups: one from a loopback address, or one whose sender is
// the address it was sent to, by datagram as the resolver asks. Others are not asked about, which costs a look at
// the system's sockets.
bool QueryEngine::ComesFromOwnLookup(const ReplyRoute& route) const {
    return route.stream == 0 && (IsLoopbackAddress(route.address) || route.address == route.from) &&
           isOwnLookup_ != nullptr && isOwnLookup_(route.address, route.port);
}

// Joins the query to the lookup of its name, starting one when none is under way; fails it at once when its
// client may not keep another query waiting.
void QueryEngine::AwaitLookup(const Query& query, ReplyRoute route, std::string_view lookupName, bool learn,
                              Clock::time_point now, EngineOutput& out) {
    const ClientWaits::Admission admission = waits_.Admit(route.address);
    if (admission.evict)
        EvictOldestOf(*admission.evict, out);
    std::string key = LowerCaseName(lookupName);
    if (!admission.admitted || (!pending_.contains(key) && !StartLookup(key, route.address, learn, out))) {
        ++counters_.refused;
        Reply(query, route, FailureAnswer, out);
        return;
    }
    Lookup& lookup = pending_.find(key)->second;
    lookup.learn = lookup.learn || learn;
    const std::span<const std::uint8_t> head = QueryHead(query);
    lookup.waiting.push_back(
        {{head.begin(), head.end()}, std::string(query.name), route, learn, ++serial_, query.type, query.edns});
    waits_.Add(route.address);
    deadlines_.push_back({now + LongestWait, std::move(key), serial_, route.address});
    StartUnknownLookups(out);
}

// Starts a lookup of the name for the client: a forward entry's target at once in a lane of its own, a name the
// table lacks in the client's turn (StartUnknownLookups, once a query waits for it). False when the client may
// not queue another.
bool QueryEngine::StartLookup(const std::string& name, std::uint32_t client, bool learn, EngineOutput& out) {
    Lookup lookup;
    if (!learn) {
        lookup.lane = LookupLane::Forward;
        lookup.underWay = true;
        out.lookups.push_back({name, LookupLane::Forward});
    } else {
        ClientTurns::Queued queued = turns_.Queue(client, name);
        if (!queued.queued)
            return false;
        if (queued.displaced) {
            ++counters_.refused;
            Finish(*queued.displaced, Failure, out);
        }
    }
    pending_.emplace(name, std::move(lookup));
    return true;
}

// Hands names the table lacks to the resolver while it has threads free, in the clients' turns. A name whose
// queries have all been answered meanwhile is passed over.
void QueryEngine::StartUnknownLookups(EngineOutput& out) {
    while (std::optional<ClientTurns::Turn> turn = turns_.Next()) {
        const auto found = pending_.find(turn->name);
        if (found == pending_.end() || found->second.waiting.empty()) {
            turns_.Ended(turn->client, {});
            if (found != pending_.end())
                pending_.erase(found);
            continue;
        }
        found->second.underWay = true;
        found->second.client = turn->client;
        out.lookups.push_back({std::move(turn->name), LookupLane::Unknown});
    }
}

// A lookup back from the resolver frees its client's thread.
void QueryEngine::EndLookup(Lookup& lookup, std::chrono::milliseconds took) {
    if (lookup.lane == LookupLane::Unknown && lookup.underWay)
        turns_.Ended(lookup.client, took);
    lookup.underWay = false;
}

// Ends the lookup: each waiting query gets the answer. That a forward entry's target does not exist says nothing of
// the entry's own name: a server failure. A loopback address from the resolver means this machine, which a
// client elsewhere reaches at the server's own address for it. Answers that differ by client, or that follow a
// forward entry's target, are kept by no one (time to live 0).
void QueryEngine::Finish(const std::string& name, const HostLookup& answer, EngineOutput& out) {
    const auto found = pending_.find(name);
    if (found == pending_.end())
        return;
    const Lookup& lookup = found->second;
    const bool thisMachine =
        answer.outcome == HostLookup::Outcome::Found && IsLoopbackAddress(answer.address) && name != "localhost";
    const std::uint32_t timeToLive = thisMachine || lookup.lane == LookupLane::Forward ? 0 : Ttl();
    for (const WaitingQuery& waiting : lookup.waiting) {
        HostLookup given = answer;
        if (!waiting.learn && given.outcome == HostLookup::Outcome::NoSuchName)
            given = Failure;
        if (thisMachine)
            given.address = ChooseServerAddress(addresses_, waiting.route.address);
        if (given.outcome == HostLookup::Outcome::Found && lookup.state == State::Resolving)
            ++counters_.forwarded;
        Reply(waiting.AsQuery(), waiting.route, AnswerFor(given, timeToLive), out);
        waits_.Remove(waiting.route.address);
    }
    pending_.erase(found);
}

void QueryEngine::TakeLookupResult(const LookupResult& result, Clock::time_point now, EngineOutput& out) {
    NoteTime(now);
    const auto found = pending_.find(result.name);
    if (found == pending_.end() || found->second.state != State::Resolving || !found->second.underWay)
        return;
    Lookup& lookup = found->second;
    EndLookup(lookup, result.took);
    const std::uint32_t address = result.result.address;
    // A numeric name costs the resolver nothing, and learning it would let any client grow the file without
    // bound; 0.0.0.0 would be learned as "Local", and a loopback address is this machine's, not the name's.
    if (result.result.outcome != HostLookup::Outcome::Found || !lookup.learn || address == 0 || result.numeric ||
        IsLoopbackAddress(address) || FindAnsweringEntry(table_, settings_.localDomains, result.name)) {
        if (result.result.outcome == HostLookup::Outcome::NoSuchName && lookup.learn)
            negative_.Remember(result.name, now + std::chrono::seconds(Ttl()));
        Finish(result.name, result.result, out);
    } else {
        // Learned: into the table at once, so that a whole-file write holds it, but answered only once it is on
        // disk. Queries for it meanwhile join the waiting ones.
        lookup.state = State::Saving;
        lookup.address = address;
        ++counters_.learned;
        AppendResolution(table_, {result.name, {}, 0, address});
        out.saves.emplace_back(std::in_place_type<SaveLearnedName>,
                               SaveLearnedName{tickets_.Issue(result.name), {result.name, address}});
    }
    StartUnknownLookups(out);
}

void QueryEngine::FailUnqueuedLookup(const std::string& name, EngineOutput& out) {
    const auto found = pending_.find(name);
    if (found == pending_.end() || !found->second.underWay)
        return;
    ++counters_.refused;
    EndLookup(found->second, {});
    Finish(name, Failure, out);
    StartUnknownLookups(out);
}

// Answers the query the deadline is for, if it still waits. True when it did.
bool QueryEngine::AnswerWaiting(const Deadline& deadline, EngineOutput& out) {
    const auto found = pending_.find(deadline.lookupName);
    if (found == pending_.end())
        return false;
    std::vector<WaitingQuery>& waiting = found->second.waiting;
    const auto query = std::find_if(waiting.begin(), waiting.end(),
                                    [&](const WaitingQuery& item) { return item.serial == deadline.serial; });
    if (query == waiting.end())
        return false;
    Reply(query->AsQuery(), query->route, FailureAnswer, out);
    waits_.Remove(query->route.address);
    waiting.erase(query);
    return true;
}

void QueryEngine::AnswerOverdue(Clock::time_point now, EngineOutput& out) {
    NoteTime(now);
    while (!deadlines_.empty() && deadlines_.front().at <= now) {
        AnswerWaiting(deadlines_.front(), out);
        deadlines_.pop_front();
    }
    lines_.AppendDue(now, out.console);
}

std::optional<QueryEngine::Clock::time_point> QueryEngine::NextDeadline() const {
    std::optional<Clock::time_point> next = lines_.NextDue();
    if (waits_.Total() != 0 && !deadlines_.empty() && (!next || deadlines_.front().at < *next))
        next = deadlines_.front().at;
    return next;
}

void QueryEngine::EvictOldestOf(std::uint32_t client, EngineOutput& out) {
    for (const Deadline& deadline : deadlines_)
        if (deadline.client == client && AnswerWaiting(deadline, out)) {
            ++counters_.refused;
            return;
        }
}

// The table that the file holds now replaces the one answered from. Names learned and not on disk yet are
// added again: their clients were, or will be, told them.
void QueryEngine::TakeFileTable(std::unique_ptr<ResolutionTable> table, EngineOutput& out) {
    std::swap(table_, *table);
    out.saves.emplace_back(std::in_place_type<FreeTable>, FreeTable{std::move(table)});
    for (const auto& [ticket, name] : tickets_.Unsettled())
        if (!FindResolution(table_, name))
            AppendResolution(table_, {name, {}, 0, pending_.find(name)->second.address});
    out.console += "> Resolutions reloaded: " + std::to_string(ResolutionCount(table_)) + " entries\n";
}

void QueryEngine::TakeSaverReport(SaverReport report, EngineOutput& out) {
    if (auto* settled = std::get_if<LearnedNamesSettled>(&report)) {
        // Names up to the ticket are on disk, or kept by the saver for a later write: their clients are told.
        for (const std::string& name : tickets_.Settle(settled->upTo))
            if (const auto found = pending_.find(name); found != pending_.end())
                Finish(name, {HostLookup::Outcome::Found, found->second.address}, out);
    } else if (auto* changed = std::get_if<FileTableChanged>(&report)) {
        TakeFileTable(std::move(changed->table), out);
    } else if (std::holds_alternative<WholeTableWanted>(report)) {
        out.saves.emplace_back(std::in_place_type<SaveWholeTable>, SaveWholeTable{SerializeResolutionTable(table_)});
    } else if (auto* notice = std::get_if<SaverNotice>(&report)) {
        out.console += notice->lines;
    } else if (auto* failed = std::get_if<SaveFailed>(&report)) {
        out.console += failed->line;
    }
}

// The answer of a lookup: an address, a name that does not exist or exists without one (with an SOA, so that it
// may be kept, RFC 2308 §5), or a server failure.
Answer QueryEngine::AnswerFor(const HostLookup& lookup, std::uint32_t timeToLive) const {
    switch (lookup.outcome) {
    case HostLookup::Outcome::Found:
        return {NoError, Answer::Record::Address, lookup.address, {}, false, timeToLive};
    case HostLookup::Outcome::NoSuchName:
        return {NoSuchName, Answer::Record::None, 0, {}, true, Ttl()};
    case HostLookup::Outcome::NoData:
        return {NoError, Answer::Record::None, 0, {}, true, Ttl()};
    case HostLookup::Outcome::Failed:
        break;
    }
    return FailureAnswer;
}

// The answer for the query with its console line.
void QueryEngine::Reply(const Query& query, ReplyRoute route, const Answer& answer, EngineOutput& out) {
    std::string said;
    const bool addressQuery = query.type == TypeA || query.type == TypeAny;
    if (answer.record == Answer::Record::Address)
        said = DottedAddress(answer.address).data();
    else if (answer.record == Answer::Record::Name)
        said = answer.name;
    else if (answer.responseCode == NoSuchName)
        said = addressQuery ? "Failure." : "No such name.";
    else if (answer.responseCode == NoError)
        said = "No data.";
    else
        said = answer.responseCode == Refused ? "Refused." : "Failure.";
    AppendLine(route.address, query.name, query.type, said, out);
    counters_.noSuchName += answer.responseCode == NoSuchName ? 1 : 0;
    counters_.serverFailures += answer.responseCode == ServerFailure ? 1 : 0;
    WriteReply(query, route, answer, out);
}

// The answer's bytes alone, held to what the route's client takes.
void QueryEngine::WriteReply(const Query& query, ReplyRoute route, const Answer& answer, EngineOutput& out) {
    const std::size_t offset = out.bytes.size();
    out.bytes.resize(offset + MostAnswerLength(query, answer));
    const std::size_t length = WriteAnswer({out.bytes.data() + offset, out.bytes.size() - offset}, query, answer,
                                           LongestReply(query.edns, route.stream != 0));
    out.bytes.resize(offset + length);
    if (length > 0)
        out.replies.push_back({route, offset, length});
}

// The query's console line, unless its client has had its share of lines in this second.
void QueryEngine::AppendLine(std::uint32_t client, std::string_view name, std::uint16_t type, std::string_view said,
                             EngineOutput& out) {
    if (lines_.Admit(client, now_, out.console))
        AppendQueryLine(out.console, client, name, type, said, terminal_);
}
