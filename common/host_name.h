#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

// A host name field: at most 255 bytes and the terminating zero.
using HostName = std::array<char, 256>;
inline constexpr std::size_t MaxHostNameLength = 255;

// Appends a name for the console. On a terminal, control bytes (below 0x20, and 0x7F) show as '?', so that a
// name cannot set the title or clear the screen; elsewhere the bytes go out as they are.
void AppendConsoleText(std::string& out, std::string_view text, bool terminal);
