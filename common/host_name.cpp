#include "common/host_name.h"

void AppendConsoleText(std::string& out, std::string_view text, bool terminal) {
    const std::size_t start = out.size();
    out += text;
    if (!terminal)
        return;
    for (std::size_t i = start; i < out.size(); ++i) {
        const auto byte = static_cast<unsigned char>(out[i]);
        if (byte < 0x20 || byte == 0x7F)
            out[i] = '?';
    }
}
