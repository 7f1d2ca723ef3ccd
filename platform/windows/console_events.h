#pragma once

#include "platform/signals.h"

// Within the Windows platform files: ends a wait of WaitForConsoleEvent with the event (Quit, as Ctrl+C does;
// Reload and Statistics, as SIGHUP and SIGUSR1 do elsewhere); from any thread, also before BlockQuitSignals.
void PostConsoleEvent(ConsoleEvent event);
