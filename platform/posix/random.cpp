#include "platform/random.h"

#include <cerrno>
#include <sys/random.h>

bool FillRandom(std::span<std::uint8_t> bytes) {
    // Blocks only while the kernel's pool is not yet ready, early at boot; a call may fill part of a long request.
    while (!bytes.empty()) {
        const ssize_t got = getrandom(bytes.data(), bytes.size(), 0);
        if (got < 0 && errno != EINTR)
            return false;
        if (got > 0)
            bytes = bytes.subspan(static_cast<std::size_t>(got));
    }
    return true;
}
