#pragma once

#include <string>
#include <string_view>

// The line that tells the user that a change of the table was not written to the resolution file, with the
// platform's text for the failure.
std::string SaveErrorLine(const char* fileName, std::string_view why);

// The line that tells the user that a file that was no whole table of resolutions was kept under another name
// before a save replaced it.
std::string KeptDamagedLine(const char* fileName, std::string_view keptAs);
