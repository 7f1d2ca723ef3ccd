#include "platform/signals.h"

#include "platform/windows/console_events.h"

#include <windows.h>

namespace {

// Made before main, so that a service's stop request can never find them missing. QuitEvent is set by the
// console control handler and the service's control handler, each on a thread of its own; ServiceEndedEvent by
// the server thread when the service ends by itself; the service's reload and statistics requests by its control
// handler, one at a time as a signal sent twice. The console thread waits for all of them.
const HANDLE QuitEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
const HANDLE ServiceEndedEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
const HANDLE ReloadEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
const HANDLE StatisticsEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);

BOOL WINAPI OnConsoleControl(DWORD event) {
    // Sent to services whenever any user logs off: no reason to stop answering the network.
    if (event == CTRL_LOGOFF_EVENT)
        return TRUE;
    PostConsoleEvent(ConsoleEvent::Quit);
    // Closing the window or shutting down ends the process once the handler returns: hold it until the console
    // thread's shutdown ends the process, which the system bounds by its own deadline.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_SHUTDOWN_EVENT)
        Sleep(INFINITE);
    return TRUE;
}

} // namespace

void PostConsoleEvent(ConsoleEvent event) {
    switch (event) {
    case ConsoleEvent::Quit:
        SetEvent(QuitEvent);
        break;
    case ConsoleEvent::Reload:
        SetEvent(ReloadEvent);
        break;
    case ConsoleEvent::Statistics:
        SetEvent(StatisticsEvent);
        break;
    case ConsoleEvent::ServiceEnded:
        SetEvent(ServiceEndedEvent);
        break;
    case ConsoleEvent::None:
        break;
    }
}

void BlockQuitSignals() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }

void ReloadOnHangUp() {}

void NotifyServiceEnded() { PostConsoleEvent(ConsoleEvent::ServiceEnded); }

ConsoleEvent WaitForConsoleEvent(std::optional<std::chrono::milliseconds> timeout) {
    // In this order: a quit goes before a reload that came with it.
    const HANDLE events[] = {QuitEvent, ServiceEndedEvent, ReloadEvent, StatisticsEvent};
    const DWORD wait = timeout ? static_cast<DWORD>(timeout->count()) : INFINITE;
    switch (WaitForMultipleObjects(4, events, FALSE, wait)) {
    case WAIT_OBJECT_0:
        return ConsoleEvent::Quit;
    case WAIT_OBJECT_0 + 1:
        ResetEvent(ServiceEndedEvent);
        return ConsoleEvent::ServiceEnded;
    case WAIT_OBJECT_0 + 2:
        return ConsoleEvent::Reload;
    case WAIT_OBJECT_0 + 3:
        return ConsoleEvent::Statistics;
    default:
        return ConsoleEvent::None;
    }
}
