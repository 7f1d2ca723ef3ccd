#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr std::size_t MaxAddressOptions = 10;
inline constexpr std::size_t MaxDomainOptions = 10;
// The longest address text an option takes, and the longest file name.
inline constexpr std::size_t MaxAddressText = 127;
inline constexpr std::size_t MaxFileName = 259;

// What the command line asks for; lives only during start-up. Addresses are parsed as inet_addr parses them: a
// text that is no address is 255.255.255.255.
struct StartupOptions {
    bool openEditor = false;
    bool install = false;                         // --install: register the Windows service, then end
    bool uninstall = false;                       // --uninstall: remove it, then end
    bool fileNamed = false;                       // a plain argument named the resolution file
    std::vector<std::uint32_t> addedAddresses;    // -i and -o, in command-line order
    std::vector<std::uint32_t> excludedAddresses; // -x, in command-line order
    std::uint32_t defaultAddress = 0;             // from -n or -o; 0 when neither was given
    std::uint32_t timeToLive = 60;                // -t: of answers from the table, in seconds
    std::vector<std::string> localDomains;        // -d, in command-line order, as ReadDomainName gives them
    std::string resolutionFileName = "default.drf";
};

struct CommandLineResult {
    StartupOptions options;
    std::string error; // the "> Error: " line for an argument beyond the program's limits; empty when none
};

inline constexpr std::uint32_t LongestTimeToLive = 9006000;

// Reads the arguments after the program's name: --install and --uninstall, -e, -i, -o, -n and -x in either case
// with the value glued to the letter, -t and -d with their value glued or as the next argument, and plain
// arguments naming the resolution file, the last one winning. Other options are ignored.
CommandLineResult ReadStartupOptions(int argumentCount, const char* const* arguments);
