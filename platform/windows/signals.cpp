#include "platform/signals.h"

#include "platform/windows/console_events.h"

#include <windows.h>

namespace {

// Made before main, so that a service's stop request can never find them missing. QuitEvent is set by the
// console control handler and the service's control handler, each on a thread of its own; ServiceEndedEvent by
// the server thread when the service ends by itself. The console thread waits for both.
const HANDLE QuitEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
const HANDLE ServiceEndedEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);

BOOL WINAPI OnConsoleControl(DWORD event) {
    // Sent to services whenever any user logs off: no reason to stop answering the network.
    if (event == CTRL_LOGOFF_EVENT)
        return TRUE;
    SetEvent(QuitEvent);
    // Closing the window or shutting down ends the process once the handler returns: hold it until the console
    // thread's shutdown ends the process, which the system bounds by its own deadline.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_SHUTDOWN_EVENT)
        Sleep(INFINITE);
    return TRUE;
}

} // namespace

void RequestQuit() { SetEvent(QuitEvent); }

void BlockQuitSignals() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }

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
