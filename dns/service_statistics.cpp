#include "dns/service_statistics.h"

#include <cstdio>

std::string StatisticsLine(const ServiceCounters& counters, std::size_t entries, long long uptimeSeconds) {
    const auto count = [](std::uint64_t value) { return static_cast<unsigned long long>(value); };
    char line[512];
    std::snprintf(line, sizeof line,
                  "> Statistics: %llu from the table, %llu learned, %llu forwarded, %llu passed on, %llu no such "
                  "name, %llu server failures, %llu lookups refused; dropped %llu malformed, %llu responses, %llu "
                  "oversize; %zu entries; up %lld s\n",
                  count(counters.fromTable), count(counters.learned), count(counters.forwarded),
                  count(counters.passedOn), count(counters.noSuchName), count(counters.serverFailures),
                  count(counters.refused), count(counters.malformed), count(counters.responses),
                  count(counters.oversize), entries, uptimeSeconds);
    return line;
}
