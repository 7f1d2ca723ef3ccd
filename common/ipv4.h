#pragma once

#include <array>
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

// A port number as sockets hold it, most significant byte first, as a number.
inline std::uint16_t PortNumber(std::uint16_t networkPort) {
    std::uint8_t bytes[2];
    std::memcpy(bytes, &networkPort, sizeof bytes);
    return static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
}

// A port number as sockets hold it: the same swap of bytes, the other way.
inline std::uint16_t NetworkPort(std::uint16_t port) { return PortNumber(port); }

inline bool IsLoopbackAddress(std::uint32_t address) { return FirstOctet(address) == 127; }

// An address in dotted-decimal form, zero-terminated, as inet_ntoa writes it.
using AddressText = std::array<char, 16>;
inline AddressText DottedAddress(std::uint32_t address) {
    AddressText text{};
    std::uint8_t bytes[4];
    std::memcpy(bytes, &address, sizeof bytes);
    char* out = text.data();
    for (int i = 0; i < 4; ++i) {
        const int value = bytes[i];
        if (value >= 100)
            *out++ = static_cast<char>('0' + value / 100);
        if (value >= 10)
            *out++ = static_cast<char>('0' + value / 10 % 10);
        *out++ = static_cast<char>('0' + value % 10);
        if (i < 3)
            *out++ = '.';
    }
    return text;
}
