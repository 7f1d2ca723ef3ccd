// The engine's answers to questions of any type but an address: from the table where it has them, else from the
// machine's DNS servers.
#include "dns/query_engine.h"

#include "common/ipv4.h"
#include "dns/reverse_names.h"

// Any type but an address: a name the table answers (under a local domain too) has no record of it (RFC 1034
// §4.3.2: only records of the type asked answer), except the PTR of a fixed entry's address or of this machine's;
// a name the table lacks is asked of the machine's DNS servers.
void QueryEngine::AnswerOtherType(const Query& query, ReplyRoute route, Clock::time_point now, EngineOutput& out) {
    if (query.type == TypePtr)
        if (const std::optional<std::uint32_t> address = ReverseNameAddress(query.exactName))
            if (const std::optional<std::string_view> name =
                    NameOfAddress(table_, settings_.own, settings_.hostName, *address)) {
                ++counters_.fromTable;
                Reply(query, route, {NoError, Answer::Record::Name, 0, *name, false, Ttl()}, out);
                return;
            }
    if (FindAnsweringEntry(table_, settings_.localDomains, query.exactName)) {
        ++counters_.fromTable;
        Reply(query, route, AnswerFor({HostLookup::Outcome::NoData, 0}, Ttl()), out);
    } else if (negative_.Knows(LowerCaseName(query.exactName), now)) {
        // A name that does not exist has no records of any type (RFC 8020): a client's AAAA beside its A for each
        // search-list candidate costs no round trip either.
        Reply(query, route, AnswerFor({HostLookup::Outcome::NoSuchName, 0}, Ttl()), out);
    } else if (ComesFromOwnLookup(route)) {
        Reply(query, route, Answer::Code(ServerFailure), out); // a server of ours that came back to us
    } else {
        PassOn(query, route, out);
    }
}

// Hands the query to the machine's DNS servers, as its client's waiting query.
void QueryEngine::PassOn(const Query& query, ReplyRoute route, EngineOutput& out) {
    const ClientWaits::Admission admission = waits_.Admit(route.address);
    if (admission.evict)
        EvictOldestOf(*admission.evict, out);
    if (!admission.admitted) {
        ++counters_.refused;
        Reply(query, route, Answer::Code(ServerFailure), out);
        return;
    }
    const std::span<const std::uint8_t> head = QueryHead(query);
    const std::uint64_t serial = ++serial_;
    relayed_.emplace(
        serial, WaitingQuery{
                    {head.begin(), head.end()}, std::string(query.name), route, false, serial, query.type, query.edns});
    waits_.Add(route.address);
    out.relays.push_back({{query.datagram.begin(), query.datagram.end()}, route, serial});
}

void QueryEngine::TakeRelayResult(const RelayResult& result, EngineOutput& out) {
    const auto found = relayed_.find(result.serial);
    if (found == relayed_.end())
        return;
    const WaitingQuery& waiting = found->second;
    const std::span<const std::uint8_t> answer = result.answer;
    if (answer.size() < waiting.head.size()) {
        Reply(waiting.AsQuery(), waiting.route, Answer::Code(ServerFailure), out);
    } else {
        const std::uint8_t code = answer[3] & 0x0F;
        const bool records = answer[6] != 0 || answer[7] != 0;
        ++counters_.passedOn;
        AppendLine(waiting.route.address, waiting.name, waiting.type,
                   code == NoSuchName ? "No such name."
                   : code != NoError  ? "Failure."
                   : records          ? "Passed on."
                                      : "No data.",
                   out);
        // The relay sent the client's datagram on as it came: the upstream answered the client's own OPT record.
        const std::size_t offset = out.bytes.size();
        out.bytes.resize(offset + answer.size());
        const std::size_t length = WritePassedOnAnswer({out.bytes.data() + offset, answer.size()}, answer,
                                                       waiting.head.size() - QueryNameOffset, waiting.edns,
                                                       LongestReply(waiting.edns, waiting.route.stream != 0));
        out.bytes.resize(offset + length);
        if (length > 0)
            out.replies.push_back({waiting.route, offset, length});
    }
    waits_.Remove(waiting.route.address);
    relayed_.erase(found);
}

void QueryEngine::FailUnqueuedRelay(std::uint64_t serial, EngineOutput& out) {
    ++counters_.refused;
    TakeRelayResult({{}, serial, {}}, out);
}
