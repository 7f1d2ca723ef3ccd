#pragma once

#include <chrono>
#include <optional>

// Blocks the quit signals (interrupt, terminate, hang-up), the request for statistics (SIGUSR1) and the
// service's notice that it ended in the calling thread and in the threads it starts afterwards, so that
// WaitForConsoleEvent receives them. Signals ignored at start stay ignored.
void BlockQuitSignals();

// Tells the console thread, from any thread, that the service has ended by itself. Only after BlockQuitSignals.
void NotifyServiceEnded();

// From now on a hang-up asks for a reload instead of quitting: without a terminal no terminal has gone away, and
// daemons take the signal so. Call it on the console thread before waiting; nothing on systems without hang-ups.
void ReloadOnHangUp();

enum class ConsoleEvent { None, Quit, ServiceEnded, Statistics, Reload };

// Waits for a quit signal, a reload's hang-up, a request for statistics or the service's notice (on Windows, the
// service manager's controls), without a time limit when none is given.
ConsoleEvent WaitForConsoleEvent(std::optional<std::chrono::milliseconds> timeout);
