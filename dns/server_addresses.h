#pragma once

#include "platform/network.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

inline constexpr std::size_t LocalAddressSlots = 10;

// The server's own addresses, filled slots first, 0 for an empty slot, and the address given to clients whose
// first octet matches none of them.
struct LocalAddressList {
    std::array<std::uint32_t, LocalAddressSlots> addresses{};
    std::uint32_t defaultAddress = 0;
};

// How the command line shapes the list: addresses added in front, addresses excluded, and the default (0 when it
// set none). Kept while the service runs, for the machine's addresses read anew.
struct LocalAddressChoice {
    std::vector<std::uint32_t> added;
    std::vector<std::uint32_t> excluded;
    std::uint32_t defaultAddress = 0;
};

// The server address to give a client: the first slot with the client's first octet, else the default.
std::uint32_t ChooseServerAddress(const LocalAddressList& list, std::uint32_t clientAddress);

// The start-up sequence: the machine's addresses (loopback ones only when there is no other), the added
// addresses in front, the excluded ones removed, 127.0.0.1 in front of all. The default is the command line's
// (0 when it set none), else chosen from the machine's addresses, a loopback one only when there is no other.
LocalAddressList BuildLocalAddressList(std::span<const InterfaceAddress> machine, std::span<const std::uint32_t> added,
                                       std::span<const std::uint32_t> excluded, std::uint32_t defaultAddress);
LocalAddressList BuildLocalAddressList(std::span<const InterfaceAddress> machine, const LocalAddressChoice& choice);

// "> IP Addresses: " and each address of the list followed by a blank, without a line end: the start-up report's
// line, and the service's whenever the list changes.
std::string LocalAddressesText(const LocalAddressList& list);

// The local address a reply leaves from: the address the query was sent to when it is one of the machine's own
// (a broadcast address is none), else the receiving interface's address; 0 lets the system choose.
std::uint32_t ChooseReplySource(std::span<const InterfaceAddress> machine, std::uint32_t destination,
                                std::uint32_t interfaceAddress);
