#pragma once

#include "resolutions/resolution_table.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// The address a reverse name stands for ("20.1.168.192.in-addr.arpa", any letter case, RFC 1035 §3.5), in network
// byte order; none for any other name.
std::optional<std::uint32_t> ReverseNameAddress(std::string_view name);

// The name a PTR question for the address is answered with: the machine's host name for one of its own addresses,
// else the name of the first fixed entry in table order with that address; none when neither is.
std::optional<std::string_view> NameOfAddress(const ResolutionTable& table, std::span<const std::uint32_t> own,
                                              std::string_view hostName, std::uint32_t address);
