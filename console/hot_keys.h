#pragma once

#include "dns/server_thread.h"
#include "platform/keyboard.h"

#include <chrono>

enum class HotKeyResult { None, Toggle, Quit };

// Tells presses from a key held down. Terminals without event reports repeat a held key as further presses, so
// a press that follows another Ctrl+Space within HoldGap belongs to the same hold.
struct HotKeyState {
    static constexpr std::chrono::milliseconds HoldGap{750};
    bool held = false;
    std::chrono::steady_clock::time_point lastSeen{};
};

HotKeyResult HandleHotKey(HotKeyState& state, const KeyEvent& event, std::chrono::steady_clock::time_point now);

enum class HotKeyAction { None, Hide, Show, Quit };

// What a hot key does, given where it was pressed: quitting only from the console window itself, since
// Ctrl+Shift+Space is a common shortcut in other programs; Ctrl+Space shows a hidden window from anywhere (a
// hidden window cannot have the focus) and hides it only from itself.
HotKeyAction DecideHotKeyAction(HotKeyResult result, bool focused, bool windowHidden);

enum class HotKeyLoopEnd { Quit, ServiceEnded, ServiceFailed };

// The service mode's console loop: Ctrl+Space hides or shows the console window, Ctrl+Shift+Space, Ctrl+C and
// the quit signals end it, SIGUSR1 asks the service for its statistics line. Reads keys only when standard input
// is a terminal; otherwise it waits for a signal, takes a hang-up as a request to reload the service's table, and
// also ends when the service ended by itself or could not start (`serviceFailed`), since nothing would be left to
// do. At a terminal the program runs on, as ever, and a hang-up quits: the terminal is gone.
HotKeyLoopEnd RunHotKeyLoop(DnsService& service, bool serviceFailed);
