#include "platform/console.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

void StartConsoleOutput() { std::setvbuf(stdout, nullptr, _IOLBF, 0); }

bool StandardOutputIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

void SetConsoleTitle(const char* title) {
    if (StandardOutputIsTerminal())
        std::printf("\x1b]0;%s\x07", title);
}

void ClearConsole() {
    if (StandardOutputIsTerminal())
        std::fputs("\x1b[H\x1b[2J", stdout);
}

void MoveConsoleCursor(int column, int row) {
    if (StandardOutputIsTerminal())
        std::printf("\x1b[%d;%dH", row + 1, column + 1);
}

void ShowConsoleWindow(bool show) {
    if (StandardOutputIsTerminal()) {
        std::fputs(show ? "\x1b[1t" : "\x1b[2t", stdout);
        std::fflush(stdout);
    }
}

void WriteConsole(std::string_view text) {
    std::fflush(stdout);
    while (!text.empty()) {
        const ssize_t written = write(STDOUT_FILENO, text.data(), text.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return; // nobody reads the console any more; the service goes on
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}
