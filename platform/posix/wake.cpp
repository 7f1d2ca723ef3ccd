#include "platform/wake.h"

#include <cerrno>
#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

WakeResult CreateWake() {
    const int descriptor = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (descriptor < 0)
        return {{}, errno};
    return {{descriptor}, 0};
}

void SignalWake(WakeHandle wake) {
    const std::uint64_t one = 1;
    // A full counter (never in practice) still wakes the receiver: nothing is lost by ignoring it.
    [[maybe_unused]] const ssize_t written = write(static_cast<int>(wake.value), &one, sizeof one);
}

void CloseWake(WakeHandle wake) {
    if (wake.value >= 0)
        close(static_cast<int>(wake.value));
}
