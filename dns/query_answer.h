#pragma once

#include "platform/network.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

inline constexpr std::size_t AnswerBufferSize = 1024;
inline constexpr std::size_t QueryNameOffset = 12;

// Bytes of the question name in wire form, from offset 12 up to and including its zero byte; 0 when the
// query holds no zero byte there.
std::size_t WireNameLength(std::span<const std::uint8_t> query);

// The length of the answer message for the query, n + 33; 0 when the query holds no complete name.
std::size_t AnswerLength(std::span<const std::uint8_t> query);

// Writes the answer message for one address: the query's ID and question, forced to type A and class IN, and
// one A record. Returns its length, n + 33, or 0 when the query's name is incomplete or the message would not fit.
std::size_t WriteAnswerMessage(std::span<std::uint8_t> answer, std::span<const std::uint8_t> query,
                               std::uint32_t address);

// Answers one query from the table that Resolutions reaches; a name the table lacks is asked of the resolver and,
// when known, appended and saved. Prints exactly one console line. Returns the length of the answer message now
// at the start of the answer buffer, or 0 when there is nothing to send.
std::size_t AnswerQuery(std::span<std::uint8_t> answer, std::span<const std::uint8_t> query, std::string_view queryName,
                        std::uint32_t clientAddress, ResolveHostFunction resolveHost = ResolveHost);
