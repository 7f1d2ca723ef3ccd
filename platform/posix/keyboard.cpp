#include "platform/keyboard.h"

#include "platform/posix/terminal_keys.h"

#include <csignal>
#include <cstdio>
#include <ctime>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace {

// The server thread's notice to the console thread; blocked everywhere, so only WaitForConsoleEvent takes it.
constexpr int ServiceEndedSignal = SIGUSR1;

// Longer than any key report: what has not ended by then never will.
constexpr std::size_t MostPendingKeyInput = 64;

// Used by the console thread alone.
termios SavedTerminal{};
std::string PendingKeyInput;
bool KeyInputActive = false;
sigset_t QuitSignals{};

// A quit signal that was ignored when the program started stays ignored: nohup ignores hang-ups, a shell
// ignores interrupts for its background jobs, and a blocked signal would otherwise still reach sigwait.
sigset_t HeededQuitSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction action {};
        if (sigaction(signal, nullptr, &action) == 0 && action.sa_handler != SIG_IGN)
            sigaddset(&signals, signal);
    }
    return signals;
}

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

void BlockQuitSignals() {
    QuitSignals = HeededQuitSignals();
    sigaddset(&QuitSignals, ServiceEndedSignal);
    pthread_sigmask(SIG_BLOCK, &QuitSignals, nullptr);
}

void NotifyServiceEnded() { kill(getpid(), ServiceEndedSignal); }

ConsoleEvent WaitForConsoleEvent(std::optional<std::chrono::milliseconds> timeout) {
    const sigset_t& signals = QuitSignals;
    int signal;
    if (!timeout) {
        signal = sigwaitinfo(&signals, nullptr);
    } else {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(*timeout);
        const timespec wait{static_cast<time_t>(seconds.count()),
                            static_cast<long>(std::chrono::nanoseconds(*timeout - seconds).count())};
        signal = sigtimedwait(&signals, nullptr, &wait);
    }
    if (signal <= 0)
        return ConsoleEvent::None;
    return signal == ServiceEndedSignal ? ConsoleEvent::ServiceEnded : ConsoleEvent::Quit;
}
