#include "dns/pending_queries.h"

#include "common/messages.h"
#include "dns/query_answer.h"
#include "resolutions/resolution_file.h"

#include <algorithm>

namespace {

// The answer for the query, or a server failure without an address, with its console line.
void Reply(PendingQueries& queries, const Query& query, ReplyRoute route, std::optional<std::uint32_t> address,
           PendingOutput& out) {
    AppendQueryLine(out.console, route.address, query.name, address, queries.terminal);
    const std::size_t offset = out.bytes.size();
    out.bytes.resize(offset + AnswerMessageLength(query));
    const std::span<std::uint8_t> room(out.bytes.data() + offset, out.bytes.size() - offset);
    const std::size_t length = address ? WriteAnswerMessage(room, query, *address) : WriteFailureMessage(room, query);
    out.bytes.resize(offset + length);
    if (length > 0)
        out.replies.push_back({route, offset, length});
}

void ReplyToWaiting(PendingQueries& queries, const WaitingQuery& waiting, std::optional<std::uint32_t> address,
                    PendingOutput& out) {
    const Query query{waiting.head, waiting.head.size() - QueryNameOffset, waiting.name};
    Reply(queries, query, waiting.route, address, out);
}

void Finish(PendingQueries& queries, const std::string& name, std::optional<std::uint32_t> address,
            PendingOutput& out) {
    const auto found = queries.pending.find(name);
    if (found == queries.pending.end())
        return;
    for (const WaitingQuery& waiting : found->second.waiting)
        ReplyToWaiting(queries, waiting, address, out);
    queries.waitingCount -= found->second.waiting.size();
    queries.pending.erase(found);
}

// Joins the query to the lookup of its name, starting one when none is under way.
void AwaitLookup(PendingQueries& queries, const Query& query, ReplyRoute route, std::string_view lookupName, bool learn,
                 PendingOutput& out) {
    if (queries.waitingCount >= MostWaitingQueries) {
        Reply(queries, query, route, std::nullopt, out);
        return;
    }
    auto found = queries.pending.find(std::string(lookupName));
    if (found == queries.pending.end()) {
        found = queries.pending.emplace(std::string(lookupName), PendingLookup{}).first;
        out.lookups.emplace_back(lookupName);
    }
    const std::span<const std::uint8_t> head = QueryHead(query);
    found->second.waiting.push_back({{head.begin(), head.end()}, std::string(query.name), route, learn});
    ++queries.waitingCount;
}

LearnedName LearnedOf(const PendingQueries& queries, const std::string& name) {
    const auto found = queries.pending.find(name);
    return {name, found != queries.pending.end() ? found->second.address : 0};
}

// The whole table, for a file that holds none, with every name still waiting for the disk, for a file that
// turns out to hold one.
void WriteWhole(PendingQueries& queries, PendingOutput& out) {
    queries.wholeUpTo = queries.lastTicket;
    SaveJob job;
    job.ticket = queries.lastTicket;
    job.whole = true;
    job.bytes = SerializeResolutionTable(queries.table);
    job.count = static_cast<std::uint32_t>(ResolutionCount(queries.table));
    for (const auto& saving : queries.saving)
        job.learned.push_back(LearnedOf(queries, saving.second));
    out.saves.push_back(std::move(job));
}

// Decided here, not by a round trip to the disk: a file known to hold the table gets the learned name added to
// it, any other the whole table, which the saver writes only where the file turns out to hold no table.
void WriteLearned(PendingQueries& queries, const std::string& name, PendingOutput& out) {
    if (!queries.appendable) {
        WriteWhole(queries, out);
        return;
    }
    SaveJob job;
    job.ticket = queries.lastTicket;
    job.learned.push_back(LearnedOf(queries, name));
    out.saves.push_back(std::move(job));
}

// The table that the file holds now replaces the one answered from. Names learned and not on disk yet are
// added again: their clients were, or will be, told them.
void TakeFileTable(PendingQueries& queries, std::unique_ptr<ResolutionTable> table, PendingOutput& out) {
    std::swap(queries.table, *table);
    out.released = std::move(table);
    for (const auto& saving : queries.saving)
        if (!FindResolution(queries.table, saving.second)) {
            const LearnedName learned = LearnedOf(queries, saving.second);
            AppendResolution(queries.table, {learned.name, {}, 0, learned.address});
        }
    queries.appendable = true;
    out.console += "> Resolutions reloaded: " + std::to_string(ResolutionCount(queries.table)) + " entries\n";
}

} // namespace

void TakeQuery(PendingQueries& queries, std::span<const std::uint8_t> datagram, ReplyRoute route, PendingOutput& out) {
    const std::optional<Query> query = ReadQuery(datagram, queries.queryName);
    if (!query)
        return;
    // A learned name being saved is answered only once it is on disk.
    if (!queries.saving.empty()) {
        const auto found = queries.pending.find(std::string(query->name));
        if (found != queries.pending.end() && found->second.state == PendingState::Saving) {
            AwaitLookup(queries, *query, route, query->name, true, out);
            return;
        }
    }
    const TableAnswer answer = AnswerFromTable(queries.table, queries.addresses, query->name, route.address);
    if (answer.outcome == TableAnswer::Outcome::Answered)
        Reply(queries, *query, route, answer.address, out);
    else
        AwaitLookup(queries, *query, route, answer.lookupName, answer.outcome == TableAnswer::Outcome::Learn, out);
}

void TakeLookupResult(PendingQueries& queries, const std::string& name, std::optional<std::uint32_t> address,
                      bool numeric, PendingOutput& out) {
    const auto found = queries.pending.find(name);
    if (found == queries.pending.end() || found->second.state != PendingState::Resolving)
        return;
    PendingLookup& lookup = found->second;
    const bool learn = std::any_of(lookup.waiting.begin(), lookup.waiting.end(),
                                   [](const WaitingQuery& waiting) { return waiting.learn; });
    // A numeric name costs the resolver nothing, and learning it would let any client grow the file without
    // bound; 0.0.0.0 would be learned as "Local".
    if (!address || !learn || *address == 0 || numeric || FindResolution(queries.table, name)) {
        Finish(queries, name, address, out);
        return;
    }
    // Learned: into the table at once, so that a whole-file write holds it, but answered only once it is on
    // disk. Queries for it meanwhile join the waiting ones.
    lookup.state = PendingState::Saving;
    lookup.address = *address;
    AppendResolution(queries.table, {name, {}, 0, *address});
    lookup.ticket = ++queries.lastTicket;
    queries.saving.emplace_back(lookup.ticket, name);
    WriteLearned(queries, name, out);
}

void TakeSaveOutcome(PendingQueries& queries, SaveOutcome outcome, const std::string& fileName,
                     std::string_view errorText, PendingOutput& out) {
    if (outcome.table)
        TakeFileTable(queries, std::move(outcome.table), out);
    if (!outcome.keptAs.empty())
        out.console += KeptDamagedLine(fileName.c_str(), outcome.keptAs);
    if (outcome.reload != SaveOutcome::Reload::None) {
        // The old table stays, and so does the file: nobody writes over it unkept.
        const std::string_view why = outcome.reload == SaveOutcome::Reload::Missing   ? "the file is missing"
                                     : outcome.reload == SaveOutcome::Reload::Damaged ? "not a whole table"
                                                                                      : errorText;
        if (outcome.reload != SaveOutcome::Reload::Loaded)
            out.console += "> Error: could not reload resolutions from " + fileName + ": " + std::string(why) +
                           "; still answering from the table before\n";
        return;
    }
    if (outcome.stale) {
        // Replaced or changed by someone else: the whole table goes, unless a whole write since covers it.
        queries.appendable = false;
        if (outcome.ticket > queries.wholeUpTo)
            WriteWhole(queries, out);
        return;
    }
    // A failed write may leave bytes behind the last record; a whole one that succeeded leaves the table.
    if (outcome.error != 0)
        queries.appendable = false;
    else if (outcome.ticket == queries.wholeUpTo)
        queries.appendable = true;
    while (!queries.saving.empty() && queries.saving.front().first <= outcome.ticket) {
        const std::string name = std::move(queries.saving.front().second);
        queries.saving.pop_front();
        const auto found = queries.pending.find(name);
        if (found != queries.pending.end())
            Finish(queries, name, found->second.address, out);
    }
    if (outcome.error != 0)
        out.console += SaveErrorLine(fileName.c_str(), errorText);
}
