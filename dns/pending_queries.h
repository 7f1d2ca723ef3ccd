#pragma once

#include "common/host_name.h"
#include "dns/resolver_pool.h"
#include "dns/saver.h"
#include "dns/server_addresses.h"
#include "platform/network.h"
#include "resolutions/resolution_table.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

// Queries waiting for lookups and saves, all together; one more ends in a server failure.
inline constexpr std::size_t MostWaitingQueries = 1024;
// Names the table lacks that wait for their turn at the resolver, from one client and from all; one more ends in
// a server failure. Clients take turns, so one client asking many names cannot hold up the others.
inline constexpr std::size_t MostWaitingLookupsPerClient = 16;

// Where a reply goes: the client's address and port, and the local address it leaves from (0: the system's
// choice). All in network byte order.
struct ReplyRoute {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    std::uint32_t from = 0;
};

// What the machine asks of the world: replies to send, console lines to write, lookups to start, writes to make.
// Whoever runs it empties it after each step it hands on; the vectors keep their capacity.
struct PendingOutput {
    struct Reply {
        ReplyRoute to;
        std::size_t offset = 0; // into `bytes`
        std::size_t length = 0;
    };
    std::vector<std::uint8_t> bytes; // the reply messages, back to back
    std::vector<Reply> replies;
    std::string console; // one line per reply, in their order, and save errors
    struct Lookup {
        std::string name;
        LookupLane lane = LookupLane::Unknown;
    };
    std::vector<Lookup> lookups; // to start; each must come back through TakeLookupResult or RefuseLookup
    std::vector<SaverJob> saves; // learned names in ticket order, and the rest the saver is asked to do
};

enum class PendingState {
    Resolving, // the resolver is asked for the name
    Saving,    // learned: answered once its entry is on disk
};

// A query held until its lookup, and for a learned name its save, has ended.
struct WaitingQuery {
    std::vector<std::uint8_t> head; // the datagram's header and question: all its answer needs
    std::string name;
    ReplyRoute route;
    bool learn = false; // asked for the looked-up name itself, which the table lacked
};

struct PendingLookup {
    PendingState state = PendingState::Resolving;
    std::string lookupName; // as the resolver is asked for it
    LookupLane lane = LookupLane::Unknown;
    bool underWay = false; // handed to the resolver; an unknown name may first wait for its client's turn
    std::vector<WaitingQuery> waiting;
    std::uint32_t address = 0; // Saving: the learned address
    std::uint64_t ticket = 0;  // Saving: the write that puts its entry on disk
};

// What the service has done since it started, for its statistics line.
struct ServiceCounters {
    std::uint64_t fromTable = 0;      // answered from the table
    std::uint64_t learned = 0;        // names learned into the table
    std::uint64_t forwarded = 0;      // answered through the resolver without learning: forward entries and the like
    std::uint64_t noSuchName = 0;     // answered that the name does not exist
    std::uint64_t serverFailures = 0; // answered with a server failure
    std::uint64_t malformed = 0;      // dropped: no usable query
    std::uint64_t responses = 0;      // dropped: a response, not a query
    std::uint64_t oversize = 0;       // dropped: longer than the receive buffer
    std::uint64_t refused = 0;        // lookups refused because too many were waiting
};

// The pending queries of one service: takes a query, a lookup's result or a saver's report, and says in a
// PendingOutput what follows. It knows no sockets, threads or clocks. The table is the one it answers from and
// learns into; how a learned name reaches the file is the saver's business.
struct PendingQueries {
    PendingQueries(ResolutionTable& table, const LocalAddressList& addresses, bool terminal)
        : table(table), addresses(addresses), terminal(terminal) {}

    ResolutionTable& table;
    const LocalAddressList& addresses;
    const bool terminal;                                    // console lines show control bytes as '?'
    std::unordered_map<std::string, PendingLookup> pending; // by the name looked up, in lower case
    std::size_t waitingCount = 0;
    std::deque<std::pair<std::uint64_t, std::string>> saving; // tickets in order, with their pending name
    std::uint64_t lastTicket = 0;
    HostName queryName{}; // the dotted name of the datagram at hand
    ServiceCounters counters;
    // Unknown names: how many the resolver has, and those waiting their turn, by client, clients in turn order.
    std::size_t unknownUnderWay = 0;
    std::size_t unknownWaiting = 0;
    std::unordered_map<std::uint32_t, std::deque<std::string>> turns;
    std::deque<std::uint32_t> clientsInTurn;
    // Whether a query comes from a lookup of our own, which the machine's resolver sent back to us: answered at
    // once with a failure, or each lookup would wait for itself. Nothing is taken for one without it.
    bool (*isOwnLookup)(std::uint32_t address, std::uint16_t port) = nullptr;
};

// A datagram from a client: answered from the table, or held for a lookup (which it may start). Datagrams that
// are no usable query are dropped without a line.
void TakeQuery(PendingQueries& queries, std::span<const std::uint8_t> datagram, ReplyRoute route, PendingOutput& out);

// A lookup of the name (as the output asked for it) has ended. `numeric`: the name was an address text, never
// learned.
void TakeLookupResult(PendingQueries& queries, const std::string& name, const HostLookup& result, bool numeric,
                      PendingOutput& out);

// A lookup that the output asked for could not be queued: its queries fail at once.
void RefuseLookup(PendingQueries& queries, const std::string& name, PendingOutput& out);

// What the saver reports: learned names settled (their queries are answered), the table the file now holds (it
// replaces the one answered from, whole, with the names learned since added; the console says so in one line), a
// request for the whole table, console lines.
void TakeSaverReport(PendingQueries& queries, SaverReport report, PendingOutput& out);
