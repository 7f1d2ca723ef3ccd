#pragma once

#include "platform/wake.h"

#include <cstdint>

// Opaque: what it holds is the platform's business.
struct AddressWatch {
    std::intptr_t value = -1;
};

struct AddressWatchResult {
    AddressWatch watch;
    int error = 0; // the platform's code of the failure, 0 on success
};

// Starts telling when the machine's IPv4 addresses may have changed: an address came or went, an interface went
// up or down. Each time it signals the wake-up, from a thread of the platform's or the system's own; what changed
// it does not say: list the addresses anew. The wake-up must outlive the watch.
AddressWatchResult WatchAddressChanges(WakeHandle wake);

// Whether a change was told since the last call; from the thread that is woken.
bool TakeAddressChange(AddressWatch watch);

// Ends the watch: the wake-up is signalled no more once it returns. Does nothing to a watch that never started.
void StopWatchingAddressChanges(AddressWatch watch);
