#include "platform/service_install.h"

#include "platform/windows/service_sid.h"
#include "platform/windows/text.h"

#include <windows.h>
// aclapi.h, sddl.h and shlobj.h need windows.h before them.
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <bcrypt.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

const int ServiceInstallNotSupported = ERROR_NOT_SUPPORTED;

namespace {

const std::wstring ServiceName = WideText(InstalledServiceName);
const std::wstring ServiceAccount = L"NT SERVICE\\" + ServiceName;
const std::wstring EventSourceKey = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + ServiceName;
const std::wstring FirewallRuleName = L"Velquorn DNS";
constexpr DWORD RestartDelayMilliseconds = 5000;
constexpr DWORD FailureCountResetSeconds = 24 * 60 * 60;
constexpr auto StopWait = std::chrono::seconds(30);

// Closes a service manager's handle at the end of the scope.
struct ServiceHandle {
    SC_HANDLE handle = nullptr;
    ~ServiceHandle() {
        if (handle != nullptr)
            CloseServiceHandle(handle);
    }
};

// The command line of a program: one argument in quotes, its own quotes and the backslashes before them escaped as
// CommandLineToArgvW reads them.
std::wstring Quoted(const std::wstring& argument) {
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(2 * backslashes, L'\\');
    return quoted + L"\"";
}

int LastError() { return static_cast<int>(GetLastError()); }

// Each part of the configuration beyond what CreateService takes.
ServiceRegistration Configure(SC_HANDLE service) {
    ServiceRegistration result;
    std::wstring description = L"Answers DNS queries of the local network from its own table of names, and learns "
                               L"the names it lacks from the machine's resolver.";
    SERVICE_DESCRIPTIONW describe{description.data()};
    SERVICE_DELAYED_AUTO_START_INFO delayed{TRUE};
    // Binding port 53 takes no privilege on Windows; the one every process holds is all it keeps.
    wchar_t privileges[] = L"SeChangeNotifyPrivilege\0";
    SERVICE_REQUIRED_PRIVILEGES_INFOW required{privileges};
    SERVICE_SID_INFO sid{SERVICE_SID_TYPE_UNRESTRICTED};
    // Restarted after every failure, the count forgotten after a day without one.
    SC_ACTION restarts[] = {{SC_ACTION_RESTART, RestartDelayMilliseconds},
                            {SC_ACTION_RESTART, RestartDelayMilliseconds},
                            {SC_ACTION_RESTART, RestartDelayMilliseconds}};
    SERVICE_FAILURE_ACTIONSW failure{FailureCountResetSeconds, nullptr, nullptr, 3, restarts};
    // A stop with the service's own error code (port 53 taken, an empty datagram) counts as a failure too.
    SERVICE_FAILURE_ACTIONS_FLAG flag{TRUE};
    const struct {
        DWORD level;
        void* information;
        unsigned skipped; // what the service lacks without it; 0 for a part it cannot do without
    } parts[] = {
        {SERVICE_CONFIG_DESCRIPTION, &describe, 0},
        {SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &delayed, ServiceRegistration::DelayedStart},
        {SERVICE_CONFIG_SERVICE_SID_INFO, &sid, ServiceRegistration::OwnSid},
        {SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, &required, ServiceRegistration::LeastPrivileges},
        {SERVICE_CONFIG_FAILURE_ACTIONS, &failure, 0},
        {SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag, ServiceRegistration::RestartAfterErrorCodes},
    };
    for (const auto& part : parts)
        if (!ChangeServiceConfig2W(service, part.level, part.information)) {
            // A system without the part (Wine has only the first two) runs the service without it; it is told.
            if (GetLastError() != ERROR_INVALID_LEVEL || part.skipped == 0)
                return {LastError(), 0};
            result.skipped |= part.skipped;
        }
    return result;
}

} // namespace

std::string ServiceSidText(std::string_view serviceName) {
    // The name in capitals, as UTF-16 in little-endian order.
    std::wstring upper = WideText(serviceName);
    CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
    std::uint8_t digest[20] = {};
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    const bool hashed = BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA1_ALGORITHM, nullptr, 0)) &&
                        BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0)) &&
                        BCRYPT_SUCCESS(BCryptHashData(hash, reinterpret_cast<PUCHAR>(upper.data()),
                                                      static_cast<ULONG>(upper.size() * sizeof(wchar_t)), 0)) &&
                        BCRYPT_SUCCESS(BCryptFinishHash(hash, digest, sizeof digest, 0));
    if (hash != nullptr)
        BCryptDestroyHash(hash);
    if (algorithm != nullptr)
        BCryptCloseAlgorithmProvider(algorithm, 0);
    if (!hashed)
        return {};
    std::string sid = "S-1-5-80";
    for (int i = 0; i < 5; ++i) {
        sid += '-';
        sid += std::to_string(static_cast<std::uint32_t>(digest[4 * i]) | digest[4 * i + 1] << 8 |
                              digest[4 * i + 2] << 16 | static_cast<std::uint32_t>(digest[4 * i + 3]) << 24);
    }
    return sid;
}

std::string ServiceDataFolder() {
    wchar_t* programData = nullptr;
    std::string folder;
    if (SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &programData) == S_OK)
        folder = Utf8Text(programData) + "\\Velquorn";
    CoTaskMemFree(programData);
    return folder;
}

std::string ProgramPath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD size = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (size < path.size()) {
            path.resize(size);
            return Utf8Text(path);
        }
        path.resize(path.size() * 2);
    }
}

std::string MachineHostName() {
    wchar_t name[256];
    DWORD size = 256;
    if (!GetComputerNameExW(ComputerNameDnsHostname, name, &size))
        return {};
    return Utf8Text(std::wstring_view(name, size));
}

std::string FullPath(const char* fileName) {
    const std::wstring wide = WideText(fileName);
    std::wstring full(GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr), L'\0');
    full.resize(GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr));
    return full.empty() ? fileName : Utf8Text(full);
}

FolderResult MakeFolder(const char* folder) {
    if (CreateDirectoryW(SystemPath(folder).c_str(), nullptr))
        return {0, true};
    const DWORD error = GetLastError();
    return {error == ERROR_ALREADY_EXISTS ? 0 : static_cast<int>(error), false};
}

void RemoveFolder(const char* folder) { RemoveDirectoryW(SystemPath(folder).c_str()); }

ServiceRegistration RegisterService(const char* programPath, const char* tableFileName) {
    const ServiceHandle manager{OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE)};
    if (manager.handle == nullptr)
        return {LastError(), 0};
    const std::wstring command = Quoted(WideText(programPath)) + L" " + Quoted(WideText(tableFileName));
    const ServiceHandle service{CreateServiceW(manager.handle, ServiceName.c_str(), L"Velquorn DNS Server",
                                               SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                               SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, nullptr,
                                               ServiceAccount.c_str(), nullptr)};
    if (service.handle == nullptr)
        return {LastError(), 0};
    const ServiceRegistration configured = Configure(service.handle);
    if (configured.error != 0)
        DeleteService(service.handle);
    return configured;
}

ServiceRemoval UnregisterService() {
    ServiceRemoval removal;
    const ServiceHandle manager{OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT)};
    if (manager.handle == nullptr)
        return {LastError(), false, false};
    const ServiceHandle service{
        OpenServiceW(manager.handle, ServiceName.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE)};
    if (service.handle == nullptr) {
        const DWORD error = GetLastError();
        return error == ERROR_SERVICE_DOES_NOT_EXIST ? ServiceRemoval{0, true, false}
                                                     : ServiceRemoval{static_cast<int>(error), false, false};
    }
    SERVICE_STATUS status{};
    if (ControlService(service.handle, SERVICE_CONTROL_STOP, &status)) {
        removal.stopped = true;
        const auto deadline = std::chrono::steady_clock::now() + StopWait;
        while (QueryServiceStatus(service.handle, &status) && status.dwCurrentState != SERVICE_STOPPED &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    if (!DeleteService(service.handle))
        removal.error = LastError();
    return removal;
}

int StartInstalledService() {
    const ServiceHandle manager{OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT)};
    if (manager.handle == nullptr)
        return LastError();
    const ServiceHandle service{OpenServiceW(manager.handle, ServiceName.c_str(), SERVICE_START)};
    if (service.handle == nullptr)
        return LastError();
    return StartServiceW(service.handle, 0, nullptr) ? 0 : LastError();
}

namespace {

// The folder's rights as SDDL. Inherited by everything in the folder. The service's account may change (read, write,
// delete) but not take ownership or change rights. Only a folder of our own is protected from what its parent hands
// down; any other gets the service's entry alone, to be added to its own.
std::wstring FolderRightsText(const std::wstring& sid, bool ownFolder) {
    const std::wstring service = L"(A;OICI;0x1301bf;;;" + sid + L")";
    return ownFolder ? L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)" + service + L"(A;OICI;0x1200a9;;;BU)" : L"D:" + service;
}

// The folder's own rights with the first entry of `added` granted beside them, into `merged` (the caller's to
// LocalFree), and whether they are protected: kept as it was, so a folder that inherits its parent's rights goes on
// inheriting them, one that did not, not.
DWORD MergeFolderRights(const std::wstring& path, PACL added, PACL& merged, bool& protect) {
    PACL existing = nullptr;
    PSECURITY_DESCRIPTOR old = nullptr;
    DWORD error = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                        &existing, nullptr, &old);
    ACCESS_ALLOWED_ACE* ace = nullptr;
    if (error == ERROR_SUCCESS && GetAce(added, 0, reinterpret_cast<void**>(&ace))) {
        EXPLICIT_ACCESSW access{};
        access.grfAccessPermissions = ace->Mask;
        access.grfAccessMode = GRANT_ACCESS;
        access.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
        access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
        access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
        access.Trustee.ptstrName = reinterpret_cast<wchar_t*>(&ace->SidStart);
        error = SetEntriesInAclW(1, &access, existing, &merged);
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (error == ERROR_SUCCESS && GetSecurityDescriptorControl(old, &control, &revision))
        protect = (control & SE_DACL_PROTECTED) != 0;
    LocalFree(old);
    return error;
}

} // namespace

int GrantFolderToService(const char* folder, bool ownFolder) {
    const std::wstring sid = WideText(ServiceSidText(InstalledServiceName));
    if (sid.empty())
        return ERROR_INVALID_SID;
    PSECURITY_DESCRIPTOR security = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(FolderRightsText(sid, ownFolder).c_str(), SDDL_REVISION_1,
                                                              &security, nullptr))
        return LastError();
    BOOL present = FALSE, defaulted = FALSE;
    PACL acl = nullptr;
    GetSecurityDescriptorDacl(security, &present, &acl, &defaulted);
    std::wstring path = SystemPath(folder);
    PACL merged = nullptr;
    DWORD error = ERROR_SUCCESS;
    bool protect = ownFolder;
    if (!ownFolder) {
        error = MergeFolderRights(path, acl, merged, protect);
        acl = merged;
    }
    if (error == ERROR_SUCCESS)
        error = SetNamedSecurityInfoW(path.data(), SE_FILE_OBJECT,
                                      DACL_SECURITY_INFORMATION | (protect ? PROTECTED_DACL_SECURITY_INFORMATION
                                                                           : UNPROTECTED_DACL_SECURITY_INFORMATION),
                                      nullptr, nullptr, acl, nullptr);
    LocalFree(merged);
    LocalFree(security);
    return static_cast<int>(error);
}

int AddEventSource(const char* programPath) {
    HKEY key = nullptr;
    LSTATUS error = RegCreateKeyExW(HKEY_LOCAL_MACHINE, EventSourceKey.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                    &key, nullptr);
    if (error != ERROR_SUCCESS)
        return static_cast<int>(error);
    const std::wstring program = WideText(programPath);
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    error = RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(program.c_str()),
                           static_cast<DWORD>((program.size() + 1) * sizeof(wchar_t)));
    if (error == ERROR_SUCCESS)
        error =
            RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types), sizeof types);
    RegCloseKey(key);
    if (error != ERROR_SUCCESS)
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, EventSourceKey.c_str());
    return static_cast<int>(error);
}

int RemoveEventSource(bool& existed) {
    const LSTATUS error = RegDeleteKeyW(HKEY_LOCAL_MACHINE, EventSourceKey.c_str());
    existed = error == ERROR_SUCCESS;
    return error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND ? 0 : static_cast<int>(error);
}

namespace {

// Runs netsh with the arguments, without a window; its exit code, or the error that kept it from running.
int RunNetsh(const std::wstring& arguments) {
    std::wstring command = L"netsh.exe " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &process))
        return LastError();
    WaitForSingleObject(process.hProcess, 60000);
    DWORD exitCode = 1;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(exitCode);
}

} // namespace

int AddFirewallRule(const char* programPath) {
    const std::wstring common = L"advfirewall firewall add rule name=" + Quoted(FirewallRuleName) +
                                L" dir=in action=allow profile=domain,private localport=53 program=" +
                                Quoted(WideText(programPath));
    int error = RunNetsh(common + L" protocol=UDP");
    if (error == 0)
        error = RunNetsh(common + L" protocol=TCP");
    if (error != 0)
        RemoveFirewallRule();
    return error;
}

int RemoveFirewallRule() {
    return RunNetsh(L"advfirewall firewall delete rule name=" + Quoted(FirewallRuleName) + L" dir=in");
}
