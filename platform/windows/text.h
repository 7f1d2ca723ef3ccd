#pragma once

// Within the Windows platform files: our text is UTF-8, the system's wide functions take UTF-16. Every name of a
// file reaches the system through SystemPath, never through an ANSI function, which would read it in the
// machine's code page and name another file.

#include <string>
#include <string_view>

std::wstring WideText(std::string_view text);
std::string Utf8Text(std::wstring_view text);

// A file's UTF-8 name as a full wide path, in the "\\?\" form where it is MAX_PATH characters or longer.
std::wstring SystemPath(const char* fileName);
