#pragma once

#include <array>
#include <string_view>

// A host name field: at most 255 bytes and the terminating zero.
using HostName = std::array<char, 256>;
inline constexpr std::size_t MaxHostNameLength = 255;

// Copies at most 255 bytes of text into the field, zero-terminated. Returns false when the text was cut.
bool CopyHostName(HostName& field, std::string_view text);

// The text of a field, up to its terminating zero.
std::string_view HostNameText(const HostName& field);
