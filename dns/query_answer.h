#pragma once

#include "platform/network.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

inline constexpr std::size_t AnswerBufferSize = 1024;
inline constexpr std::size_t QueryNameOffset = 12;
inline constexpr std::size_t QuestionTypeAndClass = 4;

// Bytes of the question name in wire form, from offset 12 up to and including its zero byte; 0 when the
// query holds no zero byte there.
std::size_t WireNameLength(std::span<const std::uint8_t> query);

// Bytes of the question as asked: the wire name, its type and its class; 0 when the query does not hold them all.
std::size_t QuestionLength(std::span<const std::uint8_t> query);

// The length of the answer message for the query, n + 33; 0 when the query holds no complete question.
std::size_t AnswerLength(std::span<const std::uint8_t> query);

// Writes the answer message for one address: the query's ID, its question exactly as asked, and one A record of
// class IN whatever type was asked. Returns its length, n + 33, or 0 when the query's question is incomplete or
// the message would not fit.
std::size_t WriteAnswerMessage(std::span<std::uint8_t> answer, std::span<const std::uint8_t> query,
                               std::uint32_t address);

// Writes a server failure for the query: its ID, flags 85 02, its question as asked, no records. A client then
// turns at once to another server or gives up, instead of waiting out its time-out. Returns its length or 0.
std::size_t WriteFailureMessage(std::span<std::uint8_t> answer, std::span<const std::uint8_t> query);

// Answers one query from the table that Resolutions reaches; a name the table lacks is asked of the resolver and,
// when known, appended and saved. Prints exactly one console line. Returns the length of the answer message now
// at the start of the answer buffer (the answer, or a server failure for a name that did not resolve), or 0
// when there is nothing to send.
std::size_t AnswerQuery(std::span<std::uint8_t> answer, std::span<const std::uint8_t> query, std::string_view queryName,
                        std::uint32_t clientAddress, ResolveHostFunction resolveHost = ResolveHost);
