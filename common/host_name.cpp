#include "common/host_name.h"

#include "common/process_state.h"

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

void AppendConsoleText(std::string& out, std::string_view text) {
    const std::size_t start = out.size();
    out += text;
    if (!ConsoleIsTerminal)
        return;
    for (std::size_t i = start; i < out.size(); ++i) {
        const auto byte = static_cast<unsigned char>(out[i]);
        if (byte < 0x20 || byte == 0x7F)
            out[i] = '?';
    }
}
