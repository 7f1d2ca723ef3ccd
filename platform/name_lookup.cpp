// The resolver's part of the network seam: getaddrinfo and inet_addr are the same on both systems; only their
// headers and error codes differ, and the build's platform folder brings those.
#include "platform/network.h"

#include "system_sockets.h"

#include <algorithm>
#include <cstring>
#include <iterator>

std::uint32_t ParseAddress(const char* text) { return inet_addr(text); }

bool IsNumericAddress(const char* hostName) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* found = nullptr;
    if (getaddrinfo(hostName, nullptr, &hints, &found) != 0)
        return false;
    freeaddrinfo(found);
    return true;
}

HostLookup ResolveHost(const char* hostName) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int result = getaddrinfo(hostName, nullptr, &hints, &found);
    if (result != 0 || found == nullptr) {
        // The name does not exist, or exists without an IPv4 address; anything else (a time-out, a failing
        // upstream) says nothing of the name.
        const auto among = [result](const auto& errors) {
            return std::find(std::begin(errors), std::end(errors), result) != std::end(errors);
        };
        if (among(NoSuchNameErrors))
            return {HostLookup::Outcome::NoSuchName, 0};
        return {among(NoDataErrors) ? HostLookup::Outcome::NoData : HostLookup::Outcome::Failed, 0};
    }
    HostLookup lookup;
    if (found->ai_family == AF_INET && found->ai_addrlen >= sizeof(sockaddr_in)) {
        sockaddr_in first{};
        std::memcpy(&first, found->ai_addr, sizeof first);
        lookup = {HostLookup::Outcome::Found, first.sin_addr.s_addr};
    }
    freeaddrinfo(found);
    return lookup;
}
