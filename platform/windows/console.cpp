#include "platform/console.h"

#include <windows.h>
// Our seam names what the Windows headers name as macros of their own.
#undef SetConsoleTitle
#undef WriteConsole

#include <cstdio>
#include <string>

namespace {

HANDLE Output() { return GetStdHandle(STD_OUTPUT_HANDLE); }

} // namespace

// The Windows C library buffers a line-buffered stream fully: unbuffered is what comes out line by line.
void StartConsoleOutput() { std::setvbuf(stdout, nullptr, _IONBF, 0); }

bool StandardOutputIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(Output(), &mode) != 0;
}

void SetConsoleTitle(const char* title) { SetConsoleTitleA(title); }

void ClearConsole() {
    CONSOLE_SCREEN_BUFFER_INFO screen{};
    if (!GetConsoleScreenBufferInfo(Output(), &screen))
        return;
    std::fflush(stdout);
    const DWORD cells = static_cast<DWORD>(screen.dwSize.X) * static_cast<DWORD>(screen.dwSize.Y);
    DWORD written = 0;
    FillConsoleOutputCharacterA(Output(), ' ', cells, {0, 0}, &written);
    FillConsoleOutputAttribute(Output(), screen.wAttributes, cells, {0, 0}, &written);
    SetConsoleCursorPosition(Output(), {0, 0});
}

void MoveConsoleCursor(int column, int row) {
    std::fflush(stdout);
    SetConsoleCursorPosition(Output(), {static_cast<SHORT>(column), static_cast<SHORT>(row)});
}

void ShowConsoleWindow(bool show) {
    if (const HWND window = GetConsoleWindow(); window != nullptr)
        ShowWindow(window, show ? SW_SHOW : SW_HIDE);
}

void WriteConsole(std::string_view text) {
    std::fflush(stdout);
    // Line ends as the C library writes them in text mode, so that the two kinds of output agree.
    std::string lines;
    lines.reserve(text.size() + text.size() / 16);
    for (const char c : text) {
        if (c == '\n')
            lines += '\r';
        lines += c;
    }
    text = lines;
    while (!text.empty()) {
        DWORD written = 0;
        if (!WriteFile(Output(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) || written == 0)
            return; // nobody reads the console any more; the service goes on
        text.remove_prefix(written);
    }
}
