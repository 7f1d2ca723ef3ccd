#include "platform/service_manager.h"

#include "platform/windows/console_events.h"
#include "platform/windows/text.h"

#include <windows.h>
// tlhelp32.h needs windows.h before it.
#include <tlhelp32.h>

#include <atomic>
#include <string>
#include <string_view>

namespace {

// Written by RunAsService before the dispatcher starts; read by the service's threads.
ServiceWork Work = nullptr;
int WorkArgumentCount = 0;
char** WorkArguments = nullptr;
// Written once by the service's main function before `work` runs, read afterwards.
SERVICE_STATUS_HANDLE Status = nullptr;
std::wstring Name;
std::atomic<int> ExitCode{0};
std::atomic<DWORD> CheckPoint{0};

void Report(DWORD state, int exitCode = 0) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    // Our own exit codes are the service's own errors: recovery actions then apply to them.
    status.dwWin32ExitCode = exitCode == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwServiceSpecificExitCode = static_cast<DWORD>(exitCode);
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    status.dwCheckPoint = pending ? ++CheckPoint : 0;
    status.dwWaitHint = pending ? 10000 : 0;
    SetServiceStatus(Status, &status);
}

DWORD WINAPI OnServiceControl(DWORD control, DWORD, void*, void*) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        // The same way out as Ctrl+C; the service's main function reports it stopped.
        Report(SERVICE_STOP_PENDING);
        RequestQuit();
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD count, wchar_t** names) {
    // An own-process service may register under any name; the one it was started as names its log entries.
    Name = count > 0 && names[0] != nullptr ? names[0] : L"VelquornDNS";
    Status = RegisterServiceCtrlHandlerExW(Name.c_str(), OnServiceControl, nullptr);
    if (Status == nullptr)
        return;
    Report(SERVICE_START_PENDING);
    ExitCode = Work(WorkArgumentCount, WorkArguments);
    Report(SERVICE_STOPPED, ExitCode);
}

// Whether the service manager (services.exe) started this process. Asking the dispatcher alone would do, but where
// it is not the service manager's child it may wait long to tell (ten seconds under Wine) before every console run.
bool StartedByServiceManager() {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return true; // let the dispatcher tell
    DWORD parent = 0;
    PROCESSENTRY32W process{};
    process.dwSize = sizeof process;
    for (BOOL more = Process32FirstW(snapshot, &process); more; more = Process32NextW(snapshot, &process)) {
        if (process.th32ProcessID == GetCurrentProcessId()) {
            parent = process.th32ParentProcessID;
            break;
        }
    }
    CloseHandle(snapshot);
    const HANDLE handle = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, parent);
    if (handle == nullptr)
        return GetLastError() == ERROR_ACCESS_DENIED; // a parent we may not ask about: let the dispatcher tell
    wchar_t path[MAX_PATH] = L"";
    DWORD size = MAX_PATH;
    const bool named = QueryFullProcessImageNameW(handle, 0, path, &size) != 0;
    CloseHandle(handle);
    const std::wstring_view image(path, named ? size : 0);
    const std::wstring_view name = image.substr(image.find_last_of(L"\\/") + 1);
    return CompareStringOrdinal(name.data(), static_cast<int>(name.size()), L"services.exe", -1, TRUE) == CSTR_EQUAL;
}

} // namespace

bool RunAsService(ServiceWork work, int argumentCount, char** arguments, int& exitCode) {
    Work = work;
    WorkArgumentCount = argumentCount;
    WorkArguments = arguments;
    wchar_t anyName[] = L"";
    const SERVICE_TABLE_ENTRYW services[] = {{anyName, ServiceMain}, {nullptr, nullptr}};
    // Fails when no service manager started us: a console run, as is a run of ours that another service starts.
    if (!StartedByServiceManager() || !StartServiceCtrlDispatcherW(services))
        return false;
    exitCode = ExitCode;
    return true;
}

void ReportServiceRunning() {
    if (Status != nullptr)
        Report(SERVICE_RUNNING);
}

void ReportServiceError(std::string_view text) {
    if (Status == nullptr)
        return;
    const HANDLE log = RegisterEventSourceW(nullptr, Name.c_str());
    if (log == nullptr)
        return;
    const std::wstring wide = WideText(text);
    const wchar_t* strings[] = {wide.c_str()};
    ReportEventW(log, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 1, 0, strings, nullptr);
    DeregisterEventSource(log);
}
