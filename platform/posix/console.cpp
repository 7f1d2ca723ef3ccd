#include "platform/console.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
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

std::vector<std::string> ProgramArguments(int argumentCount, char** arguments) {
    return std::vector<std::string>(arguments, arguments + argumentCount);
}

int SendConsoleOutputTo(const char* fileName) {
    std::fflush(stdout);
    const int file = open(fileName, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (file < 0)
        return errno;
    const int error = dup2(file, STDOUT_FILENO) < 0 ? errno : 0;
    close(file);
    return error;
}

void FinishConsoleOutput() { std::fflush(stdout); }
