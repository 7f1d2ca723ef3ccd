#include "common/host_name.h"

#include <algorithm>
#include <cstring>

bool CopyHostName(HostName& field, std::string_view text) {
    const std::size_t length = std::min(text.size(), MaxHostNameLength);
    std::memcpy(field.data(), text.data(), length);
    field[length] = '\0';
    return length == text.size();
}

std::string_view HostNameText(const HostName& field) {
    // Bounded by the field, so a field that lost its terminator is still read safely.
    return {field.data(), strnlen(field.data(), field.size())};
}
