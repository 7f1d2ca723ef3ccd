#pragma once

#include <cstdint>
#include <cstring>

// IPv4 addresses are 32-bit values in network byte order: the first number of the dotted form is the
// lowest-addressed byte, whatever the host's byte order.

inline std::uint8_t FirstOctet(std::uint32_t address) {
    std::uint8_t bytes[4];
    std::memcpy(bytes, &address, sizeof bytes);
    return bytes[0];
}

// Builds an address from its four dotted numbers, first number first.
inline std::uint32_t MakeAddress(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    const std::uint8_t bytes[4] = {a, b, c, d};
    std::uint32_t address;
    std::memcpy(&address, bytes, sizeof address);
    return address;
}

inline bool IsLoopbackAddress(std::uint32_t address) { return FirstOctet(address) == 127; }
