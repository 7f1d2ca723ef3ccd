#include "common/messages.h"

std::string SaveErrorLine(const char* fileName, std::string_view why) {
    return "> Error: could not save resolutions to " + std::string(fileName) + ": " + std::string(why) + "\n";
}

std::string KeptDamagedLine(const char* fileName, std::string_view keptAs) {
    return "> Warning: " + std::string(fileName) + " was not a whole table of resolutions; kept it as " +
           std::string(keptAs) + "\n";
}
