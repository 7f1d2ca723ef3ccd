#pragma once

#include "common/host_name.h"
#include "dns/local_domains.h"
#include "dns/server_addresses.h"
#include "resolutions/resolution_table.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

inline constexpr std::size_t QueryNameOffset = 12;

// What a query's OPT record asks of its answer (RFC 6891 §6.1.2), the first one's where several came.
struct Edns {
    bool present = false;   // an OPT record came: the answer carries one (§6.1.1)
    bool malformed = false; // two OPT records, or records the header counts that cannot be read: a format error
    std::uint8_t version = 0;
    bool dnssecOk = false;           // DO, copied into the answer (RFC 3225 §3)
    std::uint16_t payloadSize = 512; // the most the client takes in a datagram, as it said
};

// A query as far as it is read: the datagram's ID, its question and what its OPT record asks.
struct Query {
    std::span<const std::uint8_t> datagram; // only the bytes received
    std::size_t questionLength = 0;         // the question as asked, from offset 12: wire name, type and class
    std::string_view name;                  // the dotted name the console shows
    // The labels' own bytes joined with dots, as the table holds names; empty when a label holds a dot, which
    // no dotted name can be.
    std::string_view exactName;
    // No label holds a dot, a control byte or a byte of 0x80 or above: the dotted name is the name itself, and
    // the resolver and the file may be given it. Any other name would reach them as another name.
    bool plain = true;
    std::uint16_t type = 0;
    std::uint16_t klass = 0;
    Edns edns;
};

inline constexpr std::uint16_t TypeA = 1, TypePtr = 12, TypeOpt = 41, TypeAny = 255;
inline constexpr std::uint16_t ClassIn = 1, ClassAny = 255;

// Where ReadDatagram builds a query's names.
struct QueryNames {
    HostName shown{};
    HostName exact{};
};

// What a datagram is, as far as its header tells.
enum class DatagramKind {
    Query,       // a standard query of one question, read
    Response,    // never answered: answering responses would let two servers answer each other without end
    Malformed,   // shorter than a header, or a question that cannot be read
    OtherOpcode, // NOTIFY, UPDATE and the like: not implemented here
    NotOneQuestion,
};

struct ReadDatagramResult {
    std::span<const std::uint8_t> datagram;
    DatagramKind kind = DatagramKind::Malformed;
    Query query; // DatagramKind::Query only; its edns also for OtherOpcode and NotOneQuestion, whose answer has it
};

// Reads a datagram once: its kind and, for a query, its question and its OPT record. The shown name joins the
// labels with dots, every byte inside a label that is 31 or less as a signed byte also a dot. A question is
// unreadable when a label is of 64 or more (a compression pointer or a reserved type), a label or the type and
// class run past the datagram, or the name is longer than 255 bytes.
ReadDatagramResult ReadDatagram(std::span<const std::uint8_t> datagram, QueryNames& names);

// A message's OPT records, found through the questions and records that its header counts.
struct OptRecords {
    std::span<const std::uint8_t> first; // the first one from its TYPE on: CLASS, TTL, RDLENGTH, RDATA follow
    std::size_t count = 0;
    bool whole = true; // false when a question or record the header counts runs past the message
};
OptRecords FindOptRecords(std::span<const std::uint8_t> message);

// The bytes a query must keep to be answered later: its header and its question.
std::span<const std::uint8_t> QueryHead(const Query& query);

// What the table says of a query name.
struct TableAnswer {
    enum class Outcome { Answered, Forward, Learn } outcome = Outcome::Answered;
    std::uint32_t address = 0;   // Answered: the answering address
    bool local = false;          // Answered: the server's own address, as the client sees it
    std::string_view lookupName; // Forward: the target to ask the resolver for; Learn: the query name
};

// The entry that answers the name: the entry of that name, else, for NAME.DOMAIN under a local domain, the entry
// NAME.
std::optional<ResolutionEntry> FindAnsweringEntry(const ResolutionTable& table, const LocalDomains& domains,
                                                  std::string_view queryName);

// Answers from the table: an address entry at once (the server's own address for the client when it is 0), a
// forward entry by its target, a name the table lacks by learning it.
TableAnswer AnswerFromTable(const ResolutionTable& table, const LocalAddressList& addresses,
                            const LocalDomains& domains, std::string_view queryName, std::uint32_t clientAddress);

// Appends the query's console line, "> CLIENT: NAME -> SAID": SAID an address, or "Failure." for an address
// query that got none; for another type the type follows the name ("printer AAAA -> No data."). `terminal` as
// for AppendConsoleText.
void AppendQueryLine(std::string& console, std::uint32_t clientAddress, std::string_view queryName, std::uint16_t type,
                     std::string_view said, bool terminal);
