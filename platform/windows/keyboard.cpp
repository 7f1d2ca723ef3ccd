#include "platform/keyboard.h"

#include <windows.h>

#include <optional>

namespace {

// Used by the console thread alone: which hot key is down, so that a key held down counts once.
bool ReadingKeys = false;
std::optional<HotKey> HeldKey;

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
