#include "console/command_line.h"

#include "platform/network.h"

#include <cstring>
#include <string_view>

namespace {

// Copies the text into the fixed field; false when it does not fit.
template <std::size_t Size> bool CopyText(std::array<char, Size>& field, std::string_view text) {
    if (text.size() >= Size)
        return false;
    field.fill('\0');
    text.copy(field.data(), text.size());
    return true;
}

std::string Refuse(const char* why, std::string_view argument) {
    return "> Error: " + std::string(why) + ": " + std::string(argument) + "\n";
}

} // namespace

CommandLineResult ReadStartupOptions(int argumentCount, const char* const* arguments) {
    CommandLineResult result;
    StartupOptions& options = result.options;
    for (int i = 1; i < argumentCount; ++i) {
        const std::string_view argument = arguments[i];
        if (argument.empty() || argument[0] != '-') {
            if (!CopyText(options.resolutionFileName, argument))
                return {{}, Refuse("file name too long", argument)};
            options.fileNamed = true;
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
        if (letter != 'i' && letter != 'o' && letter != 'n' && letter != 'x')
            continue;
        AddressOption text{};
        if (!CopyText(text, value))
            return {{}, Refuse("address too long", argument)};
        if (letter == 'n' || letter == 'o')
            options.defaultAddress = ParseAddress(text.data());
        if (letter == 'i' || letter == 'o') {
            if (options.addedCount == MaxAddressOptions)
                return {{}, Refuse("too many addresses", argument)};
            options.addedAddresses[options.addedCount++] = text;
        } else if (letter == 'x') {
            if (options.excludedCount == MaxAddressOptions)
                return {{}, Refuse("too many addresses", argument)};
            options.excludedAddresses[options.excludedCount++] = text;
        }
    }
    return result;
}
