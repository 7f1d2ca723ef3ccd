#pragma once

#include <string>
#include <string_view>

// The line that tells the user that a change of the table was not written to the resolution file, with the
// platform's text for the failure.
std::string SaveErrorLine(const char* fileName, std::string_view why);
