#pragma once

// The system's own headers, through the build's platform folder.
#include "system_sockets.h"

#include <cstdint>

// An IPv4 socket address of the address and port, both in network byte order: what every socket of the platform
// is bound, connected or sent to with.
inline sockaddr_in ToSockaddr(std::uint32_t address, std::uint16_t networkPort) {
    sockaddr_in socketAddress{};
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_addr.s_addr = address;
    socketAddress.sin_port = networkPort;
    return socketAddress;
}
