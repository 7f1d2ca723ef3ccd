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

// Fills the slots with the machine's own addresses; sets the default when nothing set it before.
void DiscoverLocalAddresses(ListLocalAddressesFunction listAddresses = ListLocalAddresses);

// Puts the address in slot 0; the address in the last slot is lost.
void InsertLocalAddress(std::uint32_t address);

// Removes every slot that holds the address; the default is left alone.
void RemoveLocalAddress(std::uint32_t address);

// Writes "> IP Addresses: " and each address followed by a blank, without a line end.
void PrintLocalAddresses();

// The server address to give a client: the first slot with the client's first octet, else the default.
std::uint32_t ChooseServerAddress(std::uint32_t clientAddress);

// The start-up sequence: discovery, the added addresses in front, the excluded ones removed, 127.0.0.1 in front
// of all, and the address line.
void BuildLocalAddressList(std::span<const AddressOption> addedAddresses,
                           std::span<const AddressOption> excludedAddresses,
                           ListLocalAddressesFunction listAddresses = ListLocalAddresses);
