#include "common/messages.h"

#include <cstdio>
#include <system_error>

void PrintSaveError(const char* fileName, int error) {
    // generic_category is thread-safe, unlike strerror.
    std::printf("> Error: could not save resolutions to %s: %s\n", fileName,
                std::generic_category().message(error).c_str());
}
