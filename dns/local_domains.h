#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The longest local domain: a name of one label under it must still fit in 255 bytes.
inline constexpr std::size_t LongestLocalDomain = 253;

// The domain as the local domains keep it: small letters, without a final dot. None for text that is no domain
// name: nothing, the root alone, an empty label, a label of more than 63 bytes, or more than 253 bytes.
std::optional<std::string> ReadDomainName(std::string_view text);

// The network's own domains. A resolver with a search domain (systemd-resolved always) asks for `printer.lan`,
// never `printer`: a table name of one label answers under each of these too. Kept each once, as ReadDomainName
// gives them.
class LocalDomains {
public:
    // Adds the domain, unless it is no domain name or held already.
    void Add(std::string_view text);

    const std::vector<std::string>& Names() const { return names_; }

    // NAME for a name NAME.DOMAIN whose DOMAIN is one of these, in any letter case, and whose NAME is one label;
    // empty for any other name.
    std::string_view SingleLabelName(std::string_view name) const;

private:
    std::vector<std::string> names_;
};
