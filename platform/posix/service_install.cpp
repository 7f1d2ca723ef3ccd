#include "platform/service_install.h"

#include <cerrno>
#include <climits>
#include <unistd.h>

// A package installs the service here: none of the steps exist.
const int ServiceInstallNotSupported = ENOSYS;

std::string ServiceDataFolder() { return {}; }

std::string ProgramPath() { return {}; }

std::string MachineHostName() {
    char name[HOST_NAME_MAX + 1] = "";
    return gethostname(name, sizeof name) == 0 ? name : "";
}

std::string FullPath(const char* fileName) { return fileName; }

FolderResult MakeFolder(const char*) { return {ServiceInstallNotSupported, false}; }

void RemoveFolder(const char*) {}

ServiceRegistration RegisterService(const char*, const char*) { return {ServiceInstallNotSupported, 0}; }

ServiceRemoval UnregisterService() { return {ServiceInstallNotSupported, false, false}; }

int StartInstalledService() { return ServiceInstallNotSupported; }

int GrantFolderToService(const char*, bool) { return ServiceInstallNotSupported; }

int AddEventSource(const char*) { return ServiceInstallNotSupported; }

int RemoveEventSource(bool& existed) {
    existed = false;
    return ServiceInstallNotSupported;
}

int AddFirewallRule(const char*) { return ServiceInstallNotSupported; }

int RemoveFirewallRule() { return ServiceInstallNotSupported; }
