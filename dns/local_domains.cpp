#include "dns/local_domains.h"

#include "resolutions/resolution_table.h"

#include <algorithm>

namespace {

constexpr std::size_t LongestLabel = 63;

} // namespace

std::optional<std::string> ReadDomainName(std::string_view text) {
    if (text.ends_with('.'))
        text.remove_suffix(1); // a domain named from the root: "lan." is "lan"
    if (text.empty() || text.size() > LongestLocalDomain)
        return std::nullopt;
    std::size_t labelStart = 0;
    for (std::size_t i = 0; i <= text.size(); ++i)
        if (i == text.size() || text[i] == '.') {
            if (i == labelStart || i - labelStart > LongestLabel)
                return std::nullopt;
            labelStart = i + 1;
        }
    return LowerCaseName(text);
}

void LocalDomains::Add(std::string_view text) {
    std::optional<std::string> domain = ReadDomainName(text);
    if (domain && std::find(names_.begin(), names_.end(), *domain) == names_.end())
        names_.push_back(std::move(*domain));
}

std::string_view LocalDomains::SingleLabelName(std::string_view name) const {
    const std::size_t dot = name.find('.');
    if (dot == 0 || dot == std::string_view::npos || names_.empty())
        return {};
    const std::string domain = LowerCaseName(name.substr(dot + 1));
    return std::find(names_.begin(), names_.end(), domain) != names_.end() ? name.substr(0, dot) : std::string_view();
}
