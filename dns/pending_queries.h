#pragma once

#include "common/host_name.h"
#include "dns/saver.h"
#include "dns/server_addresses.h"
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
    std::string console;                       // one line per reply, in their order, and save errors
    std::vector<std::string> lookups;          // names to look up; each must come back through TakeLookupResult
    std::vector<SaveJob> saves;                // in ticket order
    std::unique_ptr<ResolutionTable> released; // a table no longer answered from, for another thread to free
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
    std::vector<WaitingQuery> waiting;
    std::uint32_t address = 0; // Saving: the learned address
    std::uint64_t ticket = 0;  // Saving: the write that puts its entry on disk
};

// The pending queries of one service: takes a query, a lookup's result or a save's outcome, and says in a
// PendingOutput what follows. It knows no sockets, threads or clocks. The table is the one it answers from and
// learns into; `appendable` says whether the file on disk holds that table exactly, so that a learned entry can
// be appended to it; otherwise the next write replaces the file whole.
struct PendingQueries {
    PendingQueries(ResolutionTable& table, const LocalAddressList& addresses, bool terminal, bool appendable)
        : table(table), addresses(addresses), terminal(terminal), appendable(appendable) {}

    ResolutionTable& table;
    const LocalAddressList& addresses;
    const bool terminal; // console lines show control bytes as '?'
    bool appendable;
    std::unordered_map<std::string, PendingLookup> pending; // by the name looked up
    std::size_t waitingCount = 0;
    std::deque<std::pair<std::uint64_t, std::string>> saving; // tickets in order, with their pending name
    std::uint64_t lastTicket = 0;
    std::uint64_t wholeUpTo = 0; // the last ticket that a whole-file write already covers
    HostName queryName{};        // the dotted name of the datagram at hand
};

// A datagram from a client: answered from the table, or held for a lookup (which it may start). Datagrams that
// are no usable query are dropped without a line.
void TakeQuery(PendingQueries& queries, std::span<const std::uint8_t> datagram, ReplyRoute route, PendingOutput& out);

// A lookup of the name has ended: with an address, or without one when the resolver knew none or the lookup
// could not be queued. `numeric`: the name was an address text, never learned.
void TakeLookupResult(PendingQueries& queries, const std::string& name, std::optional<std::uint32_t> address,
                      bool numeric, PendingOutput& out);

// A write of the file has ended, or the file was read anew. A table that the file now holds replaces the one
// answered from, whole, with the names learned and not yet on disk added; the console says so in one line.
void TakeSaveOutcome(PendingQueries& queries, SaveOutcome outcome, const std::string& fileName,
                     std::string_view errorText, PendingOutput& out);
