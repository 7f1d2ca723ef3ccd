#include "platform/wake.h"

#include <windows.h>

WakeResult CreateWake() {
    // Auto-reset: the wait that it ends also clears it, and signals before the wait are not counted.
    const HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (event == nullptr)
        return {{}, static_cast<int>(GetLastError())};
    return {{reinterpret_cast<std::intptr_t>(event)}, 0};
}

void SignalWake(WakeHandle wake) { SetEvent(reinterpret_cast<HANDLE>(wake.value)); }

void CloseWake(WakeHandle wake) {
    if (wake.value != -1)
        CloseHandle(reinterpret_cast<HANDLE>(wake.value));
}
