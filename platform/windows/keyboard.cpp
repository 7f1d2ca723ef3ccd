#include "platform/keyboard.h"

#include <windows.h>

#include <optional>

namespace {

// Used by the console thread alone: the console's input mode before BeginKeyInput, and which hot key is down in
// each source, so that a key held down counts once.
bool ReadingKeys = false;
DWORD SavedInputMode = 0;
std::optional<HotKey> HeldInConsole;
std::optional<HotKey> HeldOnDesktop;

HANDLE Input() { return GetStdHandle(STD_INPUT_HANDLE); }

bool Down(int key) { return (GetAsyncKeyState(key) & 0x8000) != 0; }

// Under Windows Terminal the console's window is a hidden one that the terminal's window owns.
bool ConsoleHasFocus() {
    const HWND console = GetConsoleWindow();
    const HWND foreground = GetForegroundWindow();
    return console != nullptr && foreground != nullptr &&
           (foreground == console || GetAncestor(console, GA_ROOTOWNER) == foreground);
}

// The console's own key records: they come only while its window has the focus, and none is missed between two
// reads, however short the press.
void ReadConsoleKeys(std::vector<KeyEvent>& events) {
    DWORD waiting = 0;
    while (GetNumberOfConsoleInputEvents(Input(), &waiting) && waiting > 0) {
        INPUT_RECORD records[16];
        DWORD got = 0;
        if (!ReadConsoleInputW(Input(), records, 16, &got) || got == 0)
            return;
        for (DWORD i = 0; i < got; ++i) {
            if (records[i].EventType != KEY_EVENT)
                continue;
            const KEY_EVENT_RECORD& key = records[i].Event.KeyEvent;
            const DWORD state = key.dwControlKeyState;
            const bool control = (state & (LEFT_CTRL_PRESSED | RIGHT_CTRL_PRESSED)) != 0;
            const bool alt = (state & (LEFT_ALT_PRESSED | RIGHT_ALT_PRESSED)) != 0; // AltGr is Ctrl+Alt
            if (key.bKeyDown && key.wVirtualKeyCode == VK_SPACE && control && !alt) {
                const HotKey pressed = (state & SHIFT_PRESSED) != 0 ? HotKey::CtrlShiftSpace : HotKey::CtrlSpace;
                events.push_back({pressed, HeldInConsole ? KeyAction::Repeat : KeyAction::Press, true});
                HeldInConsole = HeldInConsole.value_or(pressed);
            } else if (!key.bKeyDown && HeldInConsole &&
                       (key.wVirtualKeyCode == VK_SPACE || key.wVirtualKeyCode == VK_CONTROL)) {
                events.push_back({*HeldInConsole, KeyAction::Release, true});
                HeldInConsole.reset();
            }
        }
    }
}

// Keys pressed in other programs, read for the whole desktop: how Ctrl+Space brings back a hidden window.
void ReadDesktopKeys(std::vector<KeyEvent>& events) {
    if (ConsoleHasFocus()) {
        HeldOnDesktop.reset(); // the console's records tell from here on
        return;
    }
    HeldInConsole.reset(); // its key-up went to the window that took the focus
    // Space tapped between two polls, Ctrl still held: the "pressed since the last call" bit, which another
    // program reading it may take first, so a tap can still be missed.
    const bool control = Down(VK_CONTROL), shift = Down(VK_SHIFT);
    const bool space = (GetAsyncKeyState(VK_SPACE) & 0x8001) != 0;
    if (!(control && space)) {
        if (HeldOnDesktop)
            events.push_back({*HeldOnDesktop, KeyAction::Release, false});
        HeldOnDesktop.reset();
        return;
    }
    const HotKey key = shift ? HotKey::CtrlShiftSpace : HotKey::CtrlSpace;
    events.push_back({key, HeldOnDesktop ? KeyAction::Repeat : KeyAction::Press, false});
    HeldOnDesktop = HeldOnDesktop.value_or(key);
}

} // namespace

bool BeginKeyInput() {
    ReadingKeys = GetConsoleMode(Input(), &SavedInputMode) != 0;
    // QuickEdit: a stray click starts a selection, and the console then holds every write, the server thread's
    // console lines too, until the selection ends.
    if (ReadingKeys)
        SetConsoleMode(Input(), (SavedInputMode | ENABLE_EXTENDED_FLAGS) & ~static_cast<DWORD>(ENABLE_QUICK_EDIT_MODE));
    return ReadingKeys;
}

void EndKeyInput() {
    if (ReadingKeys)
        SetConsoleMode(Input(), SavedInputMode | ENABLE_EXTENDED_FLAGS);
    ReadingKeys = false;
}

std::vector<KeyEvent> ReadKeyEvents() {
    std::vector<KeyEvent> events;
    if (!ReadingKeys)
        return events;
    ReadConsoleKeys(events);
    ReadDesktopKeys(events);
    return events;
}
