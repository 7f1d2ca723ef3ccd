#include "console/install_command.h"

#include "platform/files.h"
#include "platform/service_install.h"
#include "resolutions/resolution_file.h"
#include "resolutions/resolution_table.h"

#include <cstdio>
#include <string>

namespace {

constexpr int InstallFailedExitCode = 6;

void PrintFailure(const std::string& what, int error) {
    std::printf("> Error: could not %s: %s\n", what.c_str(), ErrorText(error).c_str());
}

// The steps done so far, undone in reverse when a later one fails.
struct Undo {
    bool folderMade = false;
    bool tableWritten = false;
    bool serviceRegistered = false;
    bool sourceAdded = false;
};

int UndoSteps(const Undo& undo, const std::string& folder, const std::string& table) {
    if (undo.sourceAdded) {
        bool existed = false;
        if (RemoveEventSource(existed) == 0)
            std::printf("> Undone: removed the event source %s\n", InstalledServiceName);
    }
    if (undo.serviceRegistered) {
        if (UnregisterService().error == 0)
            std::printf("> Undone: removed the service %s\n", InstalledServiceName);
    }
    if (undo.tableWritten) {
        RemoveFile(table.c_str());
        std::printf("> Undone: removed the table %s\n", table.c_str());
    }
    if (undo.folderMade) {
        RemoveFolder(folder.c_str());
        std::printf("> Undone: removed the folder %s\n", folder.c_str());
    }
    return InstallFailedExitCode;
}

// What this system could not set up: never on Windows, all of it under Wine.
void PrintSkippedParts(unsigned skipped) {
    const struct {
        unsigned part;
        const char* text;
    } parts[] = {{ServiceRegistration::DelayedStart, "delayed start"},
                 {ServiceRegistration::OwnSid, "own security identifier"},
                 {ServiceRegistration::LeastPrivileges, "least privileges"},
                 {ServiceRegistration::RestartAfterErrorCodes, "restart after a stop with an error code"}};
    for (const auto& part : parts)
        if ((skipped & part.part) != 0)
            std::printf("> Warning: this system cannot set up the service's %s\n", part.text);
}

std::string FolderOf(const std::string& fileName) {
    const std::size_t separator = fileName.find_last_of(PathSeparators);
    return separator == std::string::npos ? "." : fileName.substr(0, separator);
}

// The steps of the install: each says what it did, or why it failed (false), and notes what to undo.

bool MakeTableFolder(const std::string& folder, Undo& undo) {
    const FolderResult made = MakeFolder(folder.c_str());
    if (made.error != 0) {
        PrintFailure("make the folder " + folder, made.error);
        return false;
    }
    undo.folderMade = made.made;
    if (made.made)
        std::printf("> Made the folder %s\n", folder.c_str());
    return true;
}

// An empty table would stop the service at once: a fresh install answers this machine's name.
bool WriteStartingTable(const std::string& table, Undo& undo) {
    if (!IdentifyFile(table.c_str()).missing) {
        std::printf("> Kept the table %s\n", table.c_str());
        return true;
    }
    const std::string host = MachineHostName();
    ResolutionTable starting;
    if (!host.empty())
        AppendResolution(starting, {host, {}, 0, 0});
    if (const int error = SaveResolutionFile(starting, table.c_str()); error != 0) {
        PrintFailure("write the table " + table, error);
        return false;
    }
    undo.tableWritten = true;
    std::printf("> Wrote the table %s: %s as a Local entry\n", table.c_str(), host.c_str());
    return true;
}

bool RegisterServiceProgram(const std::string& program, const std::string& table, Undo& undo) {
    const ServiceRegistration registered = RegisterService(program.c_str(), table.c_str());
    if (registered.error != 0) {
        PrintFailure(std::string("register the service ") + InstalledServiceName, registered.error);
        return false;
    }
    undo.serviceRegistered = true;
    std::printf("> Registered the service %s: %s on %s, started after boot (delayed) as NT SERVICE\\%s, "
                "restarted after any failure\n",
                InstalledServiceName, program.c_str(), table.c_str(), InstalledServiceName);
    PrintSkippedParts(registered.skipped);
    return true;
}

bool LetServiceChangeFolder(const std::string& folder, bool ownFolder) {
    if (const int error = GrantFolderToService(folder.c_str(), ownFolder); error != 0) {
        PrintFailure("let the service change " + folder, error);
        return false;
    }
    if (ownFolder)
        std::printf("> Let NT SERVICE\\%s change %s and users read it\n", InstalledServiceName, folder.c_str());
    else
        std::printf("> Let NT SERVICE\\%s change %s beside its other rights\n", InstalledServiceName, folder.c_str());
    return true;
}

bool AddProgramEventSource(const std::string& program, Undo& undo) {
    if (const int error = AddEventSource(program.c_str()); error != 0) {
        PrintFailure(std::string("register the event source ") + InstalledServiceName, error);
        return false;
    }
    undo.sourceAdded = true;
    std::printf("> Registered the event source %s\n", InstalledServiceName);
    return true;
}

// Another firewall may stand in for Windows' own: the service serves all the same, so this one only warns.
void LetPortThroughFirewall(const std::string& program) {
    if (const int error = AddFirewallRule(program.c_str()); error != 0)
        std::printf("> Warning: could not add the firewall rule (netsh: %d); let UDP and TCP port 53 in by hand\n",
                    error);
    else
        std::puts("> Let UDP and TCP port 53 in through the firewall on domain and private networks");
}

} // namespace

int InstallService(const std::string& namedTableFileName) {
    const std::string dataFolder = ServiceDataFolder();
    if (dataFolder.empty()) {
        std::puts("> Error: --install registers a Windows service; elsewhere install the package");
        return InstallFailedExitCode;
    }
    const std::string program = ProgramPath();
    const std::string table =
        namedTableFileName.empty() ? dataFolder + "\\default.drf" : FullPath(namedTableFileName.c_str());
    const std::string folder = FolderOf(table);
    // Only the default folder is the service's own; a folder an administrator named keeps its rights.
    const bool ownFolder = folder == dataFolder;
    Undo undo;
    if (!MakeTableFolder(folder, undo) || !WriteStartingTable(table, undo) ||
        !RegisterServiceProgram(program, table, undo) || !LetServiceChangeFolder(folder, ownFolder) ||
        !AddProgramEventSource(program, undo))
        return UndoSteps(undo, folder, table);
    LetPortThroughFirewall(program);
    if (const int error = StartInstalledService(); error != 0) {
        PrintFailure(std::string("start the service ") + InstalledServiceName + " (it stays installed: sc.exe start " +
                         InstalledServiceName + ")",
                     error);
        return InstallFailedExitCode;
    }
    std::printf("> Started the service %s; its log is %s.log\n", InstalledServiceName, table.c_str());
    return 0;
}

int UninstallService() {
    if (ServiceDataFolder().empty()) {
        std::puts("> Error: --uninstall removes a Windows service; elsewhere remove the package");
        return InstallFailedExitCode;
    }
    int exitCode = 0;
    const ServiceRemoval removal = UnregisterService();
    if (removal.stopped)
        std::printf("> Stopped the service %s\n", InstalledServiceName);
    if (removal.missing) {
        std::printf("> No service %s to remove\n", InstalledServiceName);
    } else if (removal.error == 0) {
        std::printf("> Removed the service %s\n", InstalledServiceName);
    } else {
        PrintFailure(std::string("remove the service ") + InstalledServiceName, removal.error);
        exitCode = InstallFailedExitCode;
    }
    if (const int firewall = RemoveFirewallRule(); firewall != 0)
        std::printf("> Warning: could not remove the firewall rule (netsh: %d)\n", firewall);
    else
        std::puts("> Removed the firewall rule");
    bool existed = false;
    if (const int source = RemoveEventSource(existed); source != 0) {
        PrintFailure(std::string("remove the event source ") + InstalledServiceName, source);
        exitCode = InstallFailedExitCode;
    } else if (existed) {
        std::printf("> Removed the event source %s\n", InstalledServiceName);
    }
    std::puts("> Kept the table, its log and its folder");
    return exitCode;
}
