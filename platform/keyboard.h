#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

enum class HotKey { CtrlSpace, CtrlShiftSpace, CtrlC };
enum class KeyAction { Press, Repeat, Release };

struct KeyEvent {
    HotKey key;
    KeyAction action;
    bool operator==(const KeyEvent&) const = default;
};

// Switches the terminal on standard input to unbuffered input without echo, its signal keys left working, and
// asks it for extended key reports (xterm's modifyOtherKeys, the kitty keyboard protocol). False, and nothing
// changed, when standard input is not a terminal.
bool BeginKeyInput();

// Undoes BeginKeyInput; does nothing when it did not switch the terminal.
void EndKeyInput();

// The hot keys pressed, held or released since the last call, without waiting.
std::vector<KeyEvent> ReadKeyEvents();

// Blocks the quit signals (interrupt, terminate, hang-up) and the service's notice that it ended in the calling
// thread and in the threads it starts afterwards, so that WaitForConsoleEvent receives them. Quit signals
// ignored at start stay ignored.
void BlockQuitSignals();

// Tells the console thread, from any thread, that the service has ended by itself. Only after BlockQuitSignals.
void NotifyServiceEnded();

enum class ConsoleEvent { None, Quit, ServiceEnded };

// Waits for a quit signal or the service's notice, without a time limit when none is given.
ConsoleEvent WaitForConsoleEvent(std::optional<std::chrono::milliseconds> timeout);
