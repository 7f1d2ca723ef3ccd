#include "console/command_line.h"

#include "dns/local_domains.h"
#include "platform/network.h"

#include <charconv>
#include <optional>
#include <string_view>

namespace {

std::string Refuse(const char* why, std::string_view argument) {
    return "> Error: " + std::string(why) + ": " + std::string(argument) + "\n";
}

std::optional<std::uint32_t> ReadTimeToLive(std::string_view text) {
    std::uint32_t seconds = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || seconds > LongestTimeToLive)
        return std::nullopt;
    return seconds;
}

// The value of an option that takes it glued to the letter or as the next argument, which it then takes.
std::string_view SeparableValue(std::string_view glued, int& i, int argumentCount, const char* const* arguments) {
    if (glued.empty() && i + 1 < argumentCount)
        return arguments[++i];
    return glued;
}

// Adds -d's domain; the error line when it is refused.
std::string AddLocalDomain(StartupOptions& options, std::string_view text) {
    std::optional<std::string> domain = ReadDomainName(text);
    if (!domain)
        return Refuse("not a domain name", text);
    if (options.localDomains.size() == MaxDomainOptions)
        return Refuse("too many domains", text);
    options.localDomains.push_back(std::move(*domain));
    return {};
}

// Takes the address of -i, -o, -n or -x; the error line when it is refused.
std::string AddAddress(StartupOptions& options, char letter, std::string_view argument) {
    const std::string value(argument.substr(2)); // zero-terminated for the parser
    if (value.size() > MaxAddressText)
        return Refuse("address too long", argument);
    const std::uint32_t address = ParseAddress(value.c_str());
    if (letter == 'n' || letter == 'o')
        options.defaultAddress = address;
    if (letter == 'n')
        return {};
    std::vector<std::uint32_t>& list = letter == 'x' ? options.excludedAddresses : options.addedAddresses;
    if (list.size() == MaxAddressOptions)
        return Refuse("too many addresses", argument);
    list.push_back(address);
    return {};
}

} // namespace

CommandLineResult ReadStartupOptions(int argumentCount, const char* const* arguments) {
    CommandLineResult result;
    StartupOptions& options = result.options;
    for (int i = 1; i < argumentCount; ++i) {
        const std::string_view argument = arguments[i];
        if (argument.empty() || argument[0] != '-') {
            if (argument.size() > MaxFileName)
                return {{}, Refuse("file name too long", argument)};
            options.resolutionFileName = argument;
            options.fileNamed = true;
            continue;
        }
        if (argument == "--install" || argument == "--uninstall") {
            (argument == "--install" ? options.install : options.uninstall) = true;
            continue;
        }
        if (argument.size() < 2)
            continue;
        const std::string_view value = argument.substr(2);
        const char letter = static_cast<char>(argument[1] | 0x20); // either case
        if (letter == 'e') {
            options.openEditor = true;
            continue;
        }
        if (letter == 't') {
            const std::string_view seconds = SeparableValue(value, i, argumentCount, arguments);
            const std::optional<std::uint32_t> timeToLive = ReadTimeToLive(seconds);
            if (!timeToLive)
                return {{}, Refuse("a time to live is 0 to 9006000 seconds", seconds)};
            options.timeToLive = *timeToLive;
            continue;
        }
        std::string error;
        if (letter == 'd')
            error = AddLocalDomain(options, SeparableValue(value, i, argumentCount, arguments));
        else if (letter == 'i' || letter == 'o' || letter == 'n' || letter == 'x')
            error = AddAddress(options, letter, argument);
        if (!error.empty())
            return {{}, std::move(error)};
    }
    return result;
}
