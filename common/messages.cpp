#include "common/messages.h"

std::string SaveErrorLine(const char* fileName, std::string_view why) {
    return "> Error: could not save resolutions to " + std::string(fileName) + ": " + std::string(why) + "\n";
}

std::string KeptDamagedLine(const char* fileName, std::string_view keptAs) {
    return "> Warning: " + std::string(fileName) + " was not a whole table of resolutions; kept it as " +
           std::string(keptAs) + "\n";
}

std::string SavedAgainLine(const char* fileName) {
    return "> Resolutions saved to " + std::string(fileName) + " again; nothing learned was lost\n";
}

std::string ReloadErrorLine(const char* fileName, std::string_view why) {
    return "> Error: could not reload resolutions from " + std::string(fileName) + ": " + std::string(why) +
           "; still answering from the table before\n";
}
