#include "dns/service_statistics.h"

#include <cstdio>

std::string StatisticsLine(const ServiceCounters& counters, std::size_t entries, long long uptimeSeconds) {
    char line[512];
    std::snprintf(
        line, sizeof line,
        "> Statistics: %llu from the table, %llu learned, %llu forwarded, %llu no such name, %llu server "
        "failures, %llu lookups refused; dropped %llu malformed, %llu responses, %llu oversize; %zu "
        "entries; up %lld s\n",
        static_cast<unsigned long long>(counters.fromTable), static_cast<unsigned long long>(counters.learned),
        static_cast<unsigned long long>(counters.forwarded), static_cast<unsigned long long>(counters.noSuchName),
        static_cast<unsigned long long>(counters.serverFailures), static_cast<unsigned long long>(counters.refused),
        static_cast<unsigned long long>(counters.malformed), static_cast<unsigned long long>(counters.responses),
        static_cast<unsigned long long>(counters.oversize), entries, uptimeSeconds);
    return line;
}
