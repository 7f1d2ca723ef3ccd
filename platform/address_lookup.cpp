// The resolver's part of the network seam: getaddrinfo and inet_addr are the same on both systems, only their
// headers differ.
#include "platform/network.h"

#ifdef _WIN32
#include <winsock2.h>
// This needs winsock2.h before it.
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstring>

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

std::optional<std::uint32_t> ResolveHost(const char* hostName) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(hostName, nullptr, &hints, &found) != 0 || found == nullptr)
        return std::nullopt;
    std::optional<std::uint32_t> address;
    if (found->ai_family == AF_INET && found->ai_addrlen >= sizeof(sockaddr_in)) {
        sockaddr_in first{};
        std::memcpy(&first, found->ai_addr, sizeof first);
        address = first.sin_addr.s_addr;
    }
    freeaddrinfo(found);
    return address;
}
