#pragma once

#include "dns/answer_message.h"
#include "dns/client_turns.h"
#include "dns/local_domains.h"
#include "dns/negative_answers.h"
#include "dns/query_answer.h"
#include "dns/query_line_limit.h"
#include "dns/server_addresses.h"
#include "dns/service_statistics.h"
#include "dns/thread_messages.h"
#include "dns/ticket_ledger.h"
#include "resolutions/resolution_table.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

// Queries waiting for lookups and saves, all together; beyond it a query fails at once, unless a client holding
// more gives up its oldest (ClientWaits).
inline constexpr std::size_t MostWaitingQueries = 1024;
// The longest a query waits for its lookup and its save before it is answered with a server failure. Stub
// resolvers give up after 5 s (glibc's and Windows' first try); an answer before then lets them turn to their
// next server or search domain at once, while a silent name holds the resolver for its full 10 s.
inline constexpr auto LongestWait = std::chrono::seconds(3);

// What the engine asks of the world: replies to send, console lines to write, lookups to start, jobs for the
// saver. Whoever runs it empties it after each step; the vectors keep their capacity.
struct EngineOutput {
    struct Reply {
        ReplyRoute to;
        std::size_t offset = 0; // into `bytes`
        std::size_t length = 0;
    };
    std::vector<std::uint8_t> bytes; // the reply messages, back to back
    std::vector<Reply> replies;
    std::string console;                // one line per reply, in their order, and the saver's lines
    std::vector<LookupRequest> lookups; // each must come back through TakeLookupResult or FailUnqueuedLookup
    std::vector<RelayRequest> relays;   // each must come back through TakeRelayResult or FailUnqueuedRelay
    std::vector<SaverJob> saves;        // learned names in ticket order, and the rest the saver is asked to do
};

// What the engine answers with besides the table.
struct EngineSettings {
    std::size_t resolverThreads = 16;    // what the resolver takes of names the table lacks at once
    std::size_t mostQueuedLookups = 256; // and waiting
    // How long clients and the caches between may keep an answer from the table, and a negative one: an edit
    // reaches every client within it. Local entries and forward entries are answered with 0.
    std::uint32_t timeToLive = 60;
    std::string hostName;           // the machine's, for PTR questions of its own addresses
    std::vector<std::uint32_t> own; // the machine's own addresses
    LocalDomains localDomains;      // under which the table's names of one label answer too
};

// Answers queries from the table, and holds those that need a lookup (and, for a learned name, its save) until
// it has ended. It knows no sockets or threads, and of time only what it is told. The table is the one it answers
// from and learns into; how a learned name reaches the file is the saver's business.
class QueryEngine {
public:
    using Clock = std::chrono::steady_clock;

    // The table and the addresses must outlive the engine.
    QueryEngine(ResolutionTable& table, const LocalAddressList& addresses, bool terminal, EngineSettings settings);

    // A datagram as ReadDatagram read it, from the route's client: a query answered from the table, or held for
    // a lookup, which it may start. Datagrams that are no usable query are dropped without a line.
    void TakeDatagram(const ReadDatagramResult& datagram, ReplyRoute route, Clock::time_point now, EngineOutput& out);

    // A lookup asked for in the output has ended.
    void TakeLookupResult(const LookupResult& result, Clock::time_point now, EngineOutput& out);
    // A lookup asked for in the output could not be queued: its queries fail at once.
    void FailUnqueuedLookup(const std::string& name, EngineOutput& out);

    // A query the output passed on upstream has its answer, or (empty) none came in time.
    void TakeRelayResult(const RelayResult& result, EngineOutput& out);
    // A query the output passed on could not be queued: it fails at once.
    void FailUnqueuedRelay(std::uint64_t serial, EngineOutput& out);

    // What the saver reports: learned names settled (their queries are answered), the table the file now holds
    // (it replaces the one answered from, with the names learned since added; one console line says so), a
    // request for the whole table, console lines.
    void TakeSaverReport(SaverReport report, EngineOutput& out);

    // Answers every query that has waited LongestWait with a server failure, and tells how many queries of a
    // client had no line in its second that is over.
    void AnswerOverdue(Clock::time_point now, EngineOutput& out);
    // When AnswerOverdue may next have something to do; none while no query waits and no line is held back.
    std::optional<Clock::time_point> NextDeadline() const;

    // Tells whether a query comes from a lookup of our own that the machine's resolver sent back to us: such a
    // query fails at once, or each lookup would wait for itself. Without it none is told.
    void SetOwnLookupCheck(bool (*isOwnLookup)(std::uint32_t address, std::uint16_t port)) {
        isOwnLookup_ = isOwnLookup;
    }

    // The machine's addresses changed: PTR questions of its own are answered from these from now on.
    void SetOwnAddresses(std::vector<std::uint32_t> own) { settings_.own = std::move(own); }

    const ResolutionTable& Table() const { return table_; }
    ServiceCounters& Counters() { return counters_; }

private:
    struct WaitingQuery {
        std::vector<std::uint8_t> head; // the datagram's header and question: all its answer needs
        std::string name;               // as the console shows it
        ReplyRoute route;
        bool learn = false; // asked for the looked-up name itself, which the table lacked
        std::uint64_t serial = 0;
        std::uint16_t type = TypeA; // A or ANY: only address questions wait
        Edns edns;

        // As far as its answer needs it.
        Query AsQuery() const { return {head, head.size() - QueryNameOffset, name, {}, true, type, ClassIn, edns}; }
    };
    enum class State {
        Resolving, // the resolver is asked for the name, or it waits for its client's turn
        Saving,    // learned: answered once its entry is on disk
    };
    struct Lookup {
        State state = State::Resolving;
        LookupLane lane = LookupLane::Unknown;
        bool underWay = false;    // handed to the resolver
        bool learn = false;       // a query for the name itself joined: a name found is learned
        std::uint32_t client = 0; // Unknown lane: whose turn it took
        std::vector<WaitingQuery> waiting;
        std::uint32_t address = 0; // Saving: the learned address
    };
    struct Deadline {
        Clock::time_point at;
        std::string lookupName;
        std::uint64_t serial = 0;
        std::uint32_t client = 0;
    };

    void AnswerQuery(const Query& query, ReplyRoute route, Clock::time_point now, EngineOutput& out);
    void AwaitLookup(const Query& query, ReplyRoute route, std::string_view lookupName, bool learn,
                     Clock::time_point now, EngineOutput& out);
    bool StartLookup(const std::string& name, std::uint32_t client, bool learn, EngineOutput& out);
    void StartUnknownLookups(EngineOutput& out);
    void EndLookup(Lookup& lookup, std::chrono::milliseconds took);
    void Finish(const std::string& name, const HostLookup& answer, EngineOutput& out);
    bool AnswerWaiting(const Deadline& deadline, EngineOutput& out);
    void EvictOldestOf(std::uint32_t client, EngineOutput& out);
    void TakeFileTable(std::unique_ptr<ResolutionTable> table, EngineOutput& out);
    void AnswerOtherType(const Query& query, ReplyRoute route, Clock::time_point now, EngineOutput& out);
    void PassOn(const Query& query, ReplyRoute route, EngineOutput& out);
    bool ComesFromOwnLookup(const ReplyRoute& route) const;
    std::uint32_t Ttl() const { return settings_.timeToLive; }
    Answer AnswerFor(const HostLookup& lookup, std::uint32_t timeToLive) const;
    void Reply(const Query& query, ReplyRoute route, const Answer& answer, EngineOutput& out);
    void WriteReply(const Query& query, ReplyRoute route, const Answer& answer, EngineOutput& out);
    void AppendLine(std::uint32_t client, std::string_view name, std::uint16_t type, std::string_view said,
                    EngineOutput& out);
    void NoteTime(Clock::time_point now) { now_ = std::max(now_, now); }

    ResolutionTable& table_;
    const LocalAddressList& addresses_;
    const bool terminal_; // console lines show control bytes as '?'
    EngineSettings settings_;
    std::unordered_map<std::string, Lookup> pending_; // by the name looked up, in lower case
    ClientTurns turns_;
    ClientWaits waits_{MostWaitingQueries};
    TicketLedger tickets_;
    NegativeAnswers negative_;
    std::deque<Deadline> deadlines_; // of the waiting queries, in arrival order; answered ones stay till due
    std::unordered_map<std::uint64_t, WaitingQuery> relayed_; // passed on upstream, by serial
    std::uint64_t serial_ = 0;
    ServiceCounters counters_;
    QueryLineLimit lines_;
    Clock::time_point now_; // the latest time the engine was told, for the lines of steps that are told none
    bool (*isOwnLookup_)(std::uint32_t address, std::uint16_t port) = nullptr;
};
