#pragma once

#include <cstdint>

// The system's socket and resolver headers, for the lookups that both systems share (platform/name_lookup.cpp), and
// the socket address every socket of the platform is bound, connected or sent to with.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

// What getaddrinfo says for a name that does not exist, or has no address of the family asked.
inline constexpr int NoSuchNameErrors[] = {EAI_NONAME};
inline constexpr int NoDataErrors[] = {EAI_NODATA};

// An IPv4 socket address of the address and port, both in network byte order.
inline sockaddr_in ToSockaddr(std::uint32_t address, std::uint16_t networkPort) {
    sockaddr_in socketAddress{};
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_addr.s_addr = address;
    socketAddress.sin_port = networkPort;
    return socketAddress;
}
