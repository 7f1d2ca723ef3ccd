#pragma once

#include "dns/server_addresses.h"

#include <array>
#include <cstdint>
#include <string>

inline constexpr std::size_t MaxAddressOptions = 10;

// What the command line asks for; lives only during start-up.
struct StartupOptions {
    bool openEditor = false;
    std::array<AddressOption, MaxAddressOptions> addedAddresses{};
    std::size_t addedCount = 0;
    std::array<AddressOption, MaxAddressOptions> excludedAddresses{};
    std::size_t excludedCount = 0;
    std::uint32_t defaultAddress = 0; // from -n or -o; 0 when neither was given
    std::array<char, 260> resolutionFileName{};
    bool fileNamed = false;
};

struct CommandLineResult {
    StartupOptions options;
    std::string error; // the "> Error: " line for an argument beyond the program's limits; empty when none
};

// Reads the arguments after the program's name: -e, -i, -o, -n and -x in either case with the value glued to
// the letter, and plain arguments naming the resolution file, the last one winning. Other options are ignored.
CommandLineResult ReadStartupOptions(int argumentCount, const char* const* arguments);
