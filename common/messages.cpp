#include "common/messages.h"

#include <cstdio>
#include <system_error>

std::string SaveErrorLine(const char* fileName, int error) {
    // generic_category is thread-safe, unlike strerror.
    return "> Error: could not save resolutions to " + std::string(fileName) + ": " +
           std::generic_category().message(error) + "\n";
}

void PrintSaveError(const char* fileName, int error) { std::fputs(SaveErrorLine(fileName, error).c_str(), stdout); }
