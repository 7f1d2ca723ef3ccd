#pragma once

#include <cstdint>

// Wakes a thread that waits in ReceiveDatagrams, from any thread. Signals are not counted: one or many before the
// wait end it once. Nothing travels through the network.
struct WakeHandle {
    std::intptr_t value = -1; // what it holds is the platform's business
};

struct WakeResult {
    WakeHandle handle;
    int error = 0; // the platform's code of the failure, 0 on success
};

WakeResult CreateWake();
void SignalWake(WakeHandle wake);
void CloseWake(WakeHandle wake);
