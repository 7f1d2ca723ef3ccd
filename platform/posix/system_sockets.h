#pragma once

// The system's socket and resolver headers, for the lookups that both systems share (platform/name_lookup.cpp) and
// the socket address of platform/socket_address.h.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

// What getaddrinfo says for a name that does not exist, or has no address of the family asked.
inline constexpr int NoSuchNameErrors[] = {EAI_NONAME};
inline constexpr int NoDataErrors[] = {EAI_NODATA};
