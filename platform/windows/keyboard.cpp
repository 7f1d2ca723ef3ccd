#include "platform/keyboard.h"

#include <windows.h>

namespace {

// Set by the console control handler, from its own thread; waited for by the console thread.
HANDLE QuitEvent = nullptr;
// Set by the server thread when the service ends by itself.
HANDLE ServiceEndedEvent = nullptr;
// Used by the console thread alone: which hot key is down, so that a key held down counts once.
bool ReadingKeys = false;
std::optional<HotKey> HeldKey;

BOOL WINAPI OnConsoleControl(DWORD event) {
    SetEvent(QuitEvent);
    // Closing the window ends the process once the handler returns: give the console thread time to shut down.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        Sleep(5000);
    return TRUE;
}

bool Down(int key) { return (GetAsyncKeyState(key) & 0x8000) != 0; }

} // namespace

bool BeginKeyInput() {
    DWORD mode = 0;
    ReadingKeys = GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
    return ReadingKeys;
}

void EndKeyInput() { ReadingKeys = false; }

// Global keys: Ctrl, Shift and Space read for the whole desktop, whichever window has the focus, so that a
// hidden window can be brought back.
std::vector<KeyEvent> ReadKeyEvents() {
    std::vector<KeyEvent> events;
    if (!ReadingKeys)
        return events;
    const bool control = Down(VK_CONTROL), shift = Down(VK_SHIFT), space = Down(VK_SPACE);
    if (!(control && space)) {
        if (HeldKey)
            events.push_back({*HeldKey, KeyAction::Release});
        HeldKey.reset();
        return events;
    }
    const HotKey key = shift ? HotKey::CtrlShiftSpace : HotKey::CtrlSpace;
    events.push_back({key, HeldKey ? KeyAction::Repeat : KeyAction::Press});
    HeldKey = HeldKey.value_or(key);
    return events;
}

void BlockQuitSignals() {
    QuitEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ServiceEndedEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

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
