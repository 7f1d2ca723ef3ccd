#include "platform/signals.h"

#include <windows.h>

namespace {

// Set by the console control handler, from its own thread; waited for by the console thread.
HANDLE QuitEvent = nullptr;
// Set by the server thread when the service ends by itself.
HANDLE ServiceEndedEvent = nullptr;

BOOL WINAPI OnConsoleControl(DWORD event) {
    SetEvent(QuitEvent);
    // Closing the window ends the process once the handler returns: give the console thread time to shut down.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        Sleep(5000);
    return TRUE;
}

} // namespace

void BlockQuitSignals() {
    QuitEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ServiceEndedEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void ReloadOnHangUp() {}

void NotifyServiceEnded() { SetEvent(ServiceEndedEvent); }

ConsoleEvent WaitForConsoleEvent(std::optional<std::chrono::milliseconds> timeout) {
    const HANDLE events[2] = {QuitEvent, ServiceEndedEvent};
    const DWORD wait = timeout ? static_cast<DWORD>(timeout->count()) : INFINITE;
    switch (WaitForMultipleObjects(2, events, FALSE, wait)) {
    case WAIT_OBJECT_0:
        return ConsoleEvent::Quit;
    case WAIT_OBJECT_0 + 1:
        ResetEvent(ServiceEndedEvent);
        return ConsoleEvent::ServiceEnded;
    default:
        return ConsoleEvent::None;
    }
}
