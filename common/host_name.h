#pragma once

#include <array>
#include <string>
#include <string_view>

// A host name field: at most 255 bytes and the terminating zero.
using HostName = std::array<char, 256>;
inline constexpr std::size_t MaxHostNameLength = 255;

// Copies at most 255 bytes of text into the field, zero-terminated. Returns false when the text was cut.
bool CopyHostName(HostName& field, std::string_view text);

// The text of a field, up to its terminating zero.
std::string_view HostNameText(const HostName& field);

// Appends a name for the console. On a terminal, control bytes (below 0x20, and 0x7F) show as '?', so that a
// name cannot set the title or clear the screen; elsewhere the bytes go out as they are.
void AppendConsoleText(std::string& out, std::string_view text);
