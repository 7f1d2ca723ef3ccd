#pragma once

// Within the Windows platform files: ends WaitForConsoleEvent with Quit, as Ctrl+C does; from any thread, also
// before BlockQuitSignals.
void RequestQuit();
