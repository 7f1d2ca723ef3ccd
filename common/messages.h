#pragma once

#include <string>
#include <string_view>

// The line that tells the user that a change of the table was not written to the resolution file, with the
// platform's text for the failure.
std::string SaveErrorLine(const char* fileName, std::string_view why);

// The line that tells the user that a file that was no whole table of resolutions was kept under another name
// before a save replaced it.
std::string KeptDamagedLine(const char* fileName, std::string_view keptAs);

// Behind the save error of learned names: they are not lost.
inline constexpr std::string_view LearnedNamesKept = "; the learned names are kept and written when it can be";

// The line that tells the user that the resolution file could be written again after a failure told before.
std::string SavedAgainLine(const char* fileName);

// The line that tells the user that the resolution file could not be read anew, with why.
std::string ReloadErrorLine(const char* fileName, std::string_view why);
