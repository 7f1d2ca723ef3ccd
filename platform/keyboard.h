#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

// Switches the terminal on standard input to unbuffered input without echo, its signal keys left working, and
// asks it for extended key reports (xterm's modifyOtherKeys, the kitty keyboard protocol). False, and nothing
// changed, when standard input is not a terminal.
bool BeginKeyInput();

// Undoes BeginKeyInput; does nothing when it did not switch the terminal.
void EndKeyInput();

// The bytes that the terminal has sent so far, without waiting.
std::size_t ReadKeyInput(std::span<std::uint8_t> buffer);

// Blocks the quit signals (interrupt, terminate, hang-up) in the calling thread and in the threads it starts
// afterwards, so that WaitForQuitSignal receives them. Those ignored at start stay ignored.
void BlockQuitSignals();

// Waits for a quit signal, without a time limit when none is given. True when one arrived.
bool WaitForQuitSignal(std::optional<std::chrono::milliseconds> timeout);
