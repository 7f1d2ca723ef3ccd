#include "platform/signals.h"

#include <csignal>
#include <ctime>
#include <pthread.h>
#include <unistd.h>

namespace {

// The server thread's notice to the console thread; blocked everywhere, so only WaitForConsoleEvent takes it. A
// real-time signal, which nobody sends by habit: SIGUSR1 asks for statistics.
int ServiceEndedSignal() { return SIGRTMIN; }

// Written once by BlockQuitSignals on the console thread, before any other thread starts.
sigset_t QuitSignals{};
// Written by ReloadOnHangUp on the console thread, which alone reads it.
bool HangUpReloads = false;

// A signal that was ignored when the program started stays ignored: nohup ignores hang-ups, a shell ignores
// interrupts for its background jobs, and a blocked signal would otherwise still reach sigwait.
sigset_t HeededSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) {
        struct sigaction action {};
        if (sigaction(signal, nullptr, &action) == 0 && action.sa_handler != SIG_IGN)
            sigaddset(&signals, signal);
    }
    return signals;
}

} // namespace

void BlockQuitSignals() {
    QuitSignals = HeededSignals();
    sigaddset(&QuitSignals, ServiceEndedSignal());
    pthread_sigmask(SIG_BLOCK, &QuitSignals, nullptr);
}

void ReloadOnHangUp() { HangUpReloads = true; }

void NotifyServiceEnded() { kill(getpid(), ServiceEndedSignal()); }

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
    if (signal == ServiceEndedSignal())
        return ConsoleEvent::ServiceEnded;
    if (signal == SIGHUP && HangUpReloads)
        return ConsoleEvent::Reload;
    return signal == SIGUSR1 ? ConsoleEvent::Statistics : ConsoleEvent::Quit;
}
