#include "common/messages.h"

std::string SaveErrorLine(const char* fileName, std::string_view why) {
    return "> Error: could not save resolutions to " + std::string(fileName) + ": " + std::string(why) + "\n";
}
