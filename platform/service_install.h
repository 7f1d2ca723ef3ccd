#pragma once

// Registering the program as the system's service, for --install and --uninstall: the steps, each undone by its
// counterpart. Only Windows has them; elsewhere each returns NotSupported (a package installs the service there).

#include <string>

// The code each operation returns where the system has no such step.
extern const int ServiceInstallNotSupported;

// The service's name, under which it is registered, runs, logs and is let through the firewall.
inline constexpr const char* InstalledServiceName = "VelquornDNS";

// Where an installed service keeps its table when none is named (%ProgramData%\Velquorn); empty where there is no
// such folder.
std::string ServiceDataFolder();

// The full path of the running program.
std::string ProgramPath();

// The machine's own host name; empty when it cannot be told.
std::string MachineHostName();

// The full path of a file name, as the system resolves it from the current directory.
std::string FullPath(const char* fileName);

struct FolderResult {
    int error = 0;
    bool made = false; // it was not there before
};
FolderResult MakeFolder(const char* folder);
// Removes an empty folder that MakeFolder made.
void RemoveFolder(const char* folder);

// Registers the service: the program with the table as its argument, a description, automatic start delayed
// after boot, its own virtual account rather than the system's, no privileges beyond the least, and restarts
// after every failure, also after a stop with an error code of its own. Nothing stays when a part fails.
struct ServiceRegistration {
    // Parts a system may lack (Wine has none of them), without which the service still runs.
    enum Part : unsigned { DelayedStart = 1, OwnSid = 2, LeastPrivileges = 4, RestartAfterErrorCodes = 8 };
    int error = 0;
    unsigned skipped = 0; // the parts this system lacks
};
ServiceRegistration RegisterService(const char* programPath, const char* tableFileName);
struct ServiceRemoval {
    int error = 0;
    bool missing = false; // there was no such service: nothing done, no failure
    bool stopped = false; // it ran, and was stopped first
};
// Stops the service when it runs (waiting for it at most 30 s) and removes it.
ServiceRemoval UnregisterService();
int StartInstalledService();

// Lets the service's account change the folder and what it holds. A folder of the service's own gets rights of its
// own: the system and administrators in full, the service's account to change, users to read; any other keeps
// its rights and gains the service's account beside them.
int GrantFolderToService(const char* folder, bool ownFolder);

// Registers the program as the event log's source of the service's entries, its message table their texts.
int AddEventSource(const char* programPath);
// Removes the source; `existed` tells whether it was there.
int RemoveEventSource(bool& existed);

// Lets the program receive on UDP and TCP port 53 on domain and private networks, not public ones. Returns 0, or
// the exit code of the firewall's command.
int AddFirewallRule(const char* programPath);
int RemoveFirewallRule();
