#pragma once

// Within the Windows platform files: our text is UTF-8, the system's wide functions take UTF-16.

#include <string>
#include <string_view>

std::wstring WideText(std::string_view text);
std::string Utf8Text(std::wstring_view text);
