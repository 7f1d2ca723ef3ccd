#pragma once

// What the answering thread, the resolver's threads, the saver thread and the upstream relay hand each other:
// plain values, each a type of its own.

#include "platform/network.h"
#include "resolutions/resolution_table.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

// Where a reply goes: the client's address and port, and the local address it leaves from (0: the system's
// choice). All in network byte order. A query that came over TCP names its connection: its reply goes back on it,
// whole, where a datagram's is held to the size the client can take.
struct ReplyRoute {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    std::uint32_t from = 0;
    std::uint32_t stream = 0; // the TCP connection's number; 0 for a datagram
};

// Names the table lacks share the resolver fairly among clients; forward entries' targets, the admin's own names,
// have threads of their own and never wait behind them.
enum class LookupLane { Unknown, Forward };

// A lookup to start, and what came of one.
struct LookupRequest {
    std::string name;
    LookupLane lane = LookupLane::Unknown;
};
struct LookupResult {
    std::string name;
    HostLookup result;
    bool numeric = false; // the name is an address text, which the resolver read without asking anyone
    std::uint64_t generation = 0;
    std::chrono::milliseconds took{0}; // how long it held its thread
};

// To the saver. Tickets count the learned names in the order they were learned.
struct SaveLearnedName {
    std::uint64_t ticket = 0;
    LearnedName learned;
};
// The service's whole table, serialized, for a file that holds no table to add to (after WholeTableWanted). It
// holds every name learned before it.
struct SaveWholeTable {
    std::vector<std::uint8_t> table;
};
// Read the file anew, even when it seems unchanged.
struct ReadFileAnew {};
// A table the service no longer answers from, freed there: freeing a million entries takes the answering thread
// milliseconds.
struct FreeTable {
    std::unique_ptr<ResolutionTable> table;
};
using SaverJob = std::variant<SaveLearnedName, SaveWholeTable, ReadFileAnew, FreeTable>;

// From the saver. The learned names up to the ticket are on disk, or, when the file cannot be written now, kept to
// be written later: either way their clients may be told.
struct LearnedNamesSettled {
    std::uint64_t upTo = 0;
};
// Someone else changed the file: the service answers from the table it now holds, which has every name the saver
// was given (those after them are still on their way to it).
struct FileTableChanged {
    std::unique_ptr<ResolutionTable> table;
};
// The file holds no table to add to: the service's whole table is wanted (SaveWholeTable).
struct WholeTableWanted {};
// Console lines: a failed reload, a recovery, a damaged file kept.
struct SaverNotice {
    std::string lines;
};
// The first of a run of failed writes, with its console line: the one a service manager's log is told of.
struct SaveFailed {
    std::string line;
};
using SaverReport = std::variant<LearnedNamesSettled, FileTableChanged, WholeTableWanted, SaverNotice, SaveFailed>;

// To the upstream relay: a query to pass on to the machine's DNS servers, the client's whole datagram as it came.
// The serial is the asker's own, handed back with the result: one client may have two queries under way from one
// port (A and AAAA), and a result that comes after its query was answered otherwise must be told apart.
struct RelayRequest {
    std::vector<std::uint8_t> query;
    ReplyRoute route;
    std::uint64_t serial = 0;
};
// From it: the upstream's answer with the client's ID and question as asked, every record as it came; empty when
// no server answered in time, and the client is to be told of a server failure.
struct RelayResult {
    ReplyRoute route;
    std::uint64_t serial = 0;
    std::vector<std::uint8_t> answer;
};
