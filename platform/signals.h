#pragma once

#include <chrono>
#include <optional>

// Blocks the quit signals (interrupt, terminate, hang-up), the request for statistics (SIGUSR1) and the
// service's notice that it ended in the calling thread and in the threads it starts afterwards, so that
// WaitForConsoleEvent receives them. Signals ignored at start stay ignored.
void BlockQuitSignals();

// Tells the console thread, from any thread, that the service has ended by itself. Only after BlockQuitSignals.
void NotifyServiceEnded();

enum class ConsoleEvent { None, Quit, ServiceEnded, Statistics };

// Waits for a quit signal or the service's notice, without a time limit when none is given.
ConsoleEvent WaitForConsoleEvent(std::optional<std::chrono::milliseconds> timeout);
