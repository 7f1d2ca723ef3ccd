#pragma once

#include <cstdint>
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

// The line that tells the user that an empty datagram from this machine did not stop the service, naming its sender
// (address and port in network byte order) and why: its owner may not, or its socket was gone before the service
// could tell whose it was. It begins with the sender's address, as a query's line does, so that a flood of them is
// dropped as queries' lines are when the console does not keep up.
std::string IgnoredStopLine(std::uint32_t address, std::uint16_t port, bool ownerFound);
