#pragma once

#include <array>
#include <cstdint>

// Name of the resolution file: at most 259 characters, zero-terminated. Written by start-up on the console
// thread before any other thread exists; read by every load and save afterwards.
inline std::array<char, 260> ResolutionFileName{"default.drf"};

struct ConsolePosition {
    std::int16_t column = 0;
    std::int16_t row = 0;
};

// Where the Entry Editor's screen begins: right after the banner and its empty line. Written once by start-up.
inline ConsolePosition ConsoleHomePosition{};

// Whether standard output is a terminal. Written once by start-up before any other thread exists.
inline bool ConsoleIsTerminal = false;
