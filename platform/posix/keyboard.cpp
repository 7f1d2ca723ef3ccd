#include "platform/keyboard.h"

#include "platform/posix/terminal_keys.h"

#include <cstdio>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace {

// Longer than any key report: what has not ended by then never will.
constexpr std::size_t MostPendingKeyInput = 64;

// Used by the console thread alone.
termios SavedTerminal{};
std::string PendingKeyInput;
bool KeyInputActive = false;

void WriteToTerminal(const char* sequence) {
    if (isatty(STDOUT_FILENO) == 1) {
        std::fputs(sequence, stdout);
        std::fflush(stdout);
    }
}

} // namespace

bool BeginKeyInput() {
    if (isatty(STDIN_FILENO) != 1 || tcgetattr(STDIN_FILENO, &SavedTerminal) != 0)
        return false;
    termios keys = SavedTerminal;
    keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    keys.c_cc[VMIN] = 0;
    keys.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &keys) != 0)
        return false;
    KeyInputActive = true;
    // modifyOtherKeys level 2, then the kitty protocol with disambiguated keys and event types.
    WriteToTerminal("\x1b[>4;2m\x1b[>3u");
    return true;
}

void EndKeyInput() {
    if (!KeyInputActive)
        return;
    WriteToTerminal("\x1b[<u\x1b[>4m");
    tcsetattr(STDIN_FILENO, TCSANOW, &SavedTerminal);
    KeyInputActive = false;
}

std::vector<KeyEvent> ReadKeyEvents() {
    char buffer[256];
    const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
    if (got > 0)
        PendingKeyInput.append(buffer, static_cast<std::size_t>(got));
    std::vector<KeyEvent> events = TakeHotKeys(PendingKeyInput);
    if (PendingKeyInput.size() > MostPendingKeyInput)
        PendingKeyInput.clear();
    return events;
}
