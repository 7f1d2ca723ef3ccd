#include "platform/random.h"

#include <windows.h>

// These need windows.h before them.
#include <bcrypt.h>

bool FillRandom(std::span<std::uint8_t> bytes) {
    return BCRYPT_SUCCESS(
        BCryptGenRandom(nullptr, bytes.data(), static_cast<ULONG>(bytes.size()), BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}
