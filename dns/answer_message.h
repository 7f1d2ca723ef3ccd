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

// Writes the answer message for the query. Returns its length, or 0 when it would not fit or the name of a PTR
// record cannot be written as labels.
std::size_t WriteAnswer(std::span<std::uint8_t> room, const Query& query, const Answer& answer);

// The most bytes WriteAnswer may write for the query and the answer: the room an answer from the table needs,
// and no more, so that the answering loop clears no bytes it will not write.
std::size_t MostAnswerLength(const Query& query, const Answer& answer);

// Writes a bare header for a datagram that is no query we answer: its ID, its opcode and recursion bit, the
// response code, no question and no records. Returns its length, 12, or 0.
std::size_t WriteErrorHeader(std::span<std::uint8_t> room, std::span<const std::uint8_t> datagram,
                             std::uint8_t responseCode);
