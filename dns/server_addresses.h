#pragma once

#include "platform/network.h"

#include <array>
#include <cstdint>
#include <span>

inline constexpr std::size_t LocalAddressSlots = 10;

// The server's own addresses, filled slots first, 0 for an empty slot, and the address given to clients whose
// first octet matches none of them.
struct LocalAddressList {
    std::array<std::uint32_t, LocalAddressSlots> addresses{};
    std::uint32_t defaultAddress = 0;
};

// Written by start-up on the console thread before the server thread starts; only read afterwards.
inline LocalAddressList LocalAddresses;

// An address text from the command line: at most 127 characters, zero-terminated.
using AddressOption = std::array<char, 128>;

// The server address to give a client: the first slot with the client's first octet, else the default.
std::uint32_t ChooseServerAddress(std::uint32_t clientAddress);

// The start-up sequence: discovery, the added addresses in front, the excluded ones removed, 127.0.0.1 in front
// of all, and the address line.
void BuildLocalAddressList(std::span<const AddressOption> addedAddresses,
                           std::span<const AddressOption> excludedAddresses,
                           ListLocalAddressesFunction listAddresses = ListLocalAddresses);
