#pragma once

#include "dns/query_answer.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

inline constexpr std::uint8_t NoError = 0;
inline constexpr std::uint8_t FormatError = 1;
inline constexpr std::uint8_t ServerFailure = 2;
inline constexpr std::uint8_t NoSuchName = 3;
inline constexpr std::uint8_t NotImplemented = 4;
inline constexpr std::uint8_t Refused = 5;
// Extended: the header holds its lower four bits, the OPT record the rest (RFC 6891 §6.1.3).
inline constexpr std::uint8_t BadVersion = 16;
// Ours: the root, TYPE, CLASS, TTL and an RDLENGTH of 0, for we echo no option, understanding none (§6.1.2).
inline constexpr std::size_t OptRecordLength = 11;

// The longest message the client takes: over TCP any (RFC 1035 §4.2.2), in a datagram 512 bytes (§4.2.1) or, with
// an OPT record, the payload size it gave, 512 at the least (RFC 6891 §6.2.5).
std::size_t LongestReply(const Edns& edns, bool stream);

// What an answer says besides its question, which it echoes as asked, with the query's ID.
struct Answer {
    std::uint8_t responseCode = NoError;
    enum class Record {
        None,    // no answer record
        Address, // one A record of `address`, whatever address type was asked (A or ANY)
        Name,    // one PTR record naming `name`
    } record = Record::None;
    std::uint32_t address = 0;
    std::string_view name; // dotted
    // An SOA in the authority section, so that resolvers may keep a no-data or no-such-name answer for the time to
    // live (RFC 2308 §5).
    bool withSoa = false;
    std::uint32_t timeToLive = 0; // of the record and of the SOA, whose MINIMUM it also is

    // An answer of the response code alone: no records.
    static Answer Code(std::uint8_t responseCode) {
        Answer answer;
        answer.responseCode = responseCode;
        return answer;
    }
};

// Writes the answer message for the query, with an OPT record when the query had one. An answer longer than
// `longest` is cut to its header and question (and the OPT record) with TC set. Returns its length, or 0 when it
// would not fit or the name of a PTR record cannot be written as labels.
std::size_t WriteAnswer(std::span<std::uint8_t> room, const Query& query, const Answer& answer, std::size_t longest);

// The most bytes WriteAnswer may write for the query and the answer: the room an answer from the table needs,
// and no more, so that the answering loop clears no bytes it will not write.
std::size_t MostAnswerLength(const Query& query, const Answer& answer);

// Writes a bare header for a datagram that is no query we answer: its ID, its opcode and recursion bit, the
// response code, no question, and an OPT record when the datagram had one. Returns its length, 12 or 23, or 0.
std::size_t WriteErrorHeader(std::span<std::uint8_t> room, std::span<const std::uint8_t> datagram,
                             std::uint8_t responseCode, const Edns& edns);

// Writes an upstream's answer, which has the client's ID and question, as the client takes it: whole when it is no
// longer than `longest`, else cut as WriteAnswer cuts, its OPT record kept without options for a client that sent
// one. `room` must hold the whole answer. Returns the length, or 0 when the question is not there.
std::size_t WritePassedOnAnswer(std::span<std::uint8_t> room, std::span<const std::uint8_t> answer,
                                std::size_t questionLength, const Edns& edns, std::size_t longest);
