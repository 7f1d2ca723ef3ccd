#include "dns/reverse_names.h"

#include "common/ipv4.h"

#include <algorithm>
#include <charconv>

std::optional<std::uint32_t> ReverseNameAddress(std::string_view name) {
    constexpr std::string_view Suffix = ".in-addr.arpa";
    if (name.size() <= Suffix.size() || LowerCaseName(name.substr(name.size() - Suffix.size())) != Suffix)
        return std::nullopt;
    name.remove_suffix(Suffix.size());
    std::uint8_t octets[4] = {};
    for (int octet = 0; octet < 4; ++octet) {
        const std::size_t dot = octet < 3 ? name.find('.') : name.size();
        if (dot == std::string_view::npos || dot == 0 || dot > 3)
            return std::nullopt;
        unsigned value = 0;
        const auto [end, error] = std::from_chars(name.data(), name.data() + dot, value);
        if (error != std::errc() || end != name.data() + dot || value > 255)
            return std::nullopt;
        octets[3 - octet] = static_cast<std::uint8_t>(value); // the labels run from the last octet to the first
        name.remove_prefix(std::min(dot + 1, name.size()));
    }
    if (!name.empty())
        return std::nullopt;
    return MakeAddress(octets[0], octets[1], octets[2], octets[3]);
}

std::optional<std::string_view> NameOfAddress(const ResolutionTable& table, std::span<const std::uint32_t> own,
                                              std::string_view hostName, std::uint32_t address) {
    if (!hostName.empty() && std::find(own.begin(), own.end(), address) != own.end())
        return hostName;
    for (std::size_t i = 0; i < ResolutionCount(table); ++i) {
        const ResolutionEntry entry = ResolutionAt(table, i);
        if (entry.kind != ForwardKind && entry.address == address)
            return entry.name;
    }
    return std::nullopt;
}
