#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// What the service has done since it started, for its statistics line.
struct ServiceCounters {
    std::uint64_t fromTable = 0;      // answered from the table
    std::uint64_t learned = 0;        // names learned into the table
    std::uint64_t forwarded = 0;      // answered through the resolver without learning: forward entries and the like
    std::uint64_t passedOn = 0;       // other types of names the table lacks, answered by the machine's DNS servers
    std::uint64_t noSuchName = 0;     // answered that the name does not exist
    std::uint64_t serverFailures = 0; // answered with a server failure
    std::uint64_t malformed = 0;      // dropped: no usable query
    std::uint64_t responses = 0;      // dropped: a response, not a query
    std::uint64_t oversize = 0;       // dropped: longer than the receive buffer
    std::uint64_t refused = 0;        // lookups refused because too many were waiting
};

// "> Statistics: ..." with its line end.
std::string StatisticsLine(const ServiceCounters& counters, std::size_t entries, long long uptimeSeconds);
