#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class HotKey { CtrlSpace, CtrlShiftSpace, CtrlC };
enum class KeyAction { Press, Repeat, Release };

struct KeyEvent {
    HotKey key;
    KeyAction action;
    bool operator==(const KeyEvent&) const = default;
};

// Takes the hot keys out of what the terminal sent: a NUL byte (Ctrl+Space on most terminals), xterm's
// modifyOtherKeys reports and kitty keyboard reports. Everything else is skipped. An escape sequence cut off at
// the end stays in the input for the next call.
std::vector<KeyEvent> TakeHotKeys(std::string& input);

enum class HotKeyResult { None, Toggle, Quit };

// Tells presses from a key held down. Terminals without event reports repeat a held key as further presses, so
// a press that follows another Ctrl+Space within HoldGap belongs to the same hold.
struct HotKeyState {
    static constexpr std::chrono::milliseconds HoldGap{750};
    bool held = false;
    std::chrono::steady_clock::time_point lastSeen{};
};

HotKeyResult HandleHotKey(HotKeyState& state, const KeyEvent& event, std::chrono::steady_clock::time_point now);

enum class HotKeyLoopEnd { Quit, ServiceEnded };

// The service mode's console loop: Ctrl+Space hides or shows the console window, Ctrl+Shift+Space, Ctrl+C and
// the quit signals end it. Reads keys only when standard input is a terminal; otherwise it waits for a signal,
// and also ends when the service ends by itself, since nothing would be left to do.
HotKeyLoopEnd RunHotKeyLoop();
