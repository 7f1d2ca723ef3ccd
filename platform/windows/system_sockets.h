#pragma once

// The system's socket and resolver headers, for the lookups that both systems share (platform/name_lookup.cpp) and
// the socket address of platform/socket_address.h.
#include <winsock2.h>
// This needs winsock2.h before it.
#include <ws2tcpip.h>

// What getaddrinfo says for a name that does not exist, or has no address of the family asked.
inline constexpr int NoSuchNameErrors[] = {WSAHOST_NOT_FOUND};
inline constexpr int NoDataErrors[] = {WSANO_DATA};
