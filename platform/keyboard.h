#pragma once

#include <vector>

enum class HotKey { CtrlSpace, CtrlShiftSpace, CtrlC };
enum class KeyAction { Press, Repeat, Release };

struct KeyEvent {
    HotKey key;
    KeyAction action;
    bool focused = true; // pressed while the console window had the keyboard focus, not in another program
    bool operator==(const KeyEvent&) const = default;
};

// Switches the terminal on standard input to unbuffered input without echo, its signal keys left working, and
// asks it for extended key reports (xterm's modifyOtherKeys, the kitty keyboard protocol); a Windows console
// also stops selecting text on a click, which would hold every write to it. False, and nothing changed, when
// standard input is not a terminal.
bool BeginKeyInput();

// Undoes BeginKeyInput; does nothing when it did not switch the terminal.
void EndKeyInput();

// The hot keys pressed, held or released since the last call, without waiting. Where the system lets a program
// see keys meant for others (Windows), those come too, marked as not focused.
std::vector<KeyEvent> ReadKeyEvents();
