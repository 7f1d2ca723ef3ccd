// A datagram in, its answers and console lines out, through the query engine against a small table, with the
// lookup and the save it may start brought to an end: whatever arrives, every reply carries the query's ID, is
// no longer than an answer can be nor, in a datagram, than its client takes, and nothing is read or written out
// of bounds.
#include "common/ipv4.h"
#include "dns/answer_message.h"
#include "dns/query_answer.h"
#include "dns/query_engine.h"
#include "dns/resolver_pool.h"
#include "resolutions/resolution_table.h"

#include <cstdlib>
#include <cstring>

namespace {

void Require(bool condition) {
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ResolutionTable table;
    AppendResolution(table, {"printer", {}, 0, MakeAddress(10, 0, 0, 1)});
    AppendResolution(table, {"gateway", {}, 0, 0});
    AppendResolution(table, {"files", "nas.lan", ForwardKind, 0});
    const LocalAddressList addresses{{MakeAddress(127, 0, 0, 1), MakeAddress(192, 168, 0, 2)}, 0};
    EngineSettings settings{ResolverThreads, MostQueuedLookups, 60, "host", {MakeAddress(192, 168, 0, 2)}, {}};
    settings.localDomains.Add("lan");
    QueryEngine engine(table, addresses, true, std::move(settings));
    EngineOutput out;
    QueryNames names;
    const ReadDatagramResult read = ReadDatagram({data, size}, names);
    // A bit queries leave 0 (Z) picks whether it came over TCP.
    const std::uint32_t stream = size > 3 && (data[3] & 0x40) != 0 ? 1 : 0;
    engine.TakeDatagram(read, {MakeAddress(192, 168, 0, 9), 1053, 0, stream}, {}, out);
    // The lookup it started ends with an address taken from the datagram, and the write it asks for succeeds.
    for (const LookupRequest& lookup : std::vector(out.lookups))
        engine.TakeLookupResult({lookup.name, {HostLookup::Outcome::Found, size > 7 ? 0x01020304u + data[7] : 0u}}, {},
                                out);
    // What it passed upstream comes back with the query's own bytes as the answer.
    for (const RelayRequest& relayed : std::vector(out.relays))
        engine.TakeRelayResult({relayed.route, relayed.serial, relayed.query}, out);
    std::vector<std::uint64_t> tickets;
    for (const SaverJob& job : out.saves)
        if (const auto* learned = std::get_if<SaveLearnedName>(&job))
            tickets.push_back(learned->ticket);
    for (const std::uint64_t ticket : tickets)
        engine.TakeSaverReport(LearnedNamesSettled{ticket}, out);
    // An answer is the query's header and question, at most one record (a PTR's is the longest) and an SOA.
    for (const EngineOutput::Reply& reply : out.replies) {
        Require(reply.offset + reply.length <= out.bytes.size() && reply.length <= size + 12 + 255 + 47);
        Require(reply.length >= 12 && size >= 2 && std::memcmp(out.bytes.data() + reply.offset, data, 2) == 0);
        Require(reply.length <= LongestReply(read.query.edns, stream != 0));
    }
    Require(out.console.empty() || out.console.back() == '\n');
    return 0;
}
