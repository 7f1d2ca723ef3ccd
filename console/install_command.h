#pragma once

#include <string>

// --install [FILE]: registers the program as the Windows service VelquornDNS on the table (by default in
// %ProgramData%\Velquorn, made with the machine's name as a Local entry when missing), lets its account change
// the table's folder, registers its event source and firewall rule, and starts it. Prints one line per step;
// a step that fails undoes the ones before it. Returns the program's exit code.
int InstallService(const std::string& namedTableFileName);

// --uninstall: stops and removes the service, its firewall rule and its event source; keeps the table. Prints
// one line per step. Returns the program's exit code.
int UninstallService();
