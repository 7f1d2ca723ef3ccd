#include "platform/service_manager.h"

#include "platform/windows/console_events.h"
#include "platform/windows/service_status.h"
#include "platform/windows/text.h"

#include <windows.h>
// tlhelp32.h needs windows.h before it.
#include <tlhelp32.h>
// Made from packaging/windows/messages.mc by the build.
#include <messages.h>

#include <atomic>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace {

// `sc control VelquornDNS 128` asks for the statistics line, as SIGUSR1 does elsewhere.
constexpr DWORD StatisticsControl = 128;

// Written by RunAsService before the dispatcher starts; read by the service's threads.
ServiceWork Work = nullptr;
int WorkArgumentCount = 0;
char** WorkArguments = nullptr;
// Written once by the service's main function before `work` runs, read afterwards.
SERVICE_STATUS_HANDLE Status = nullptr;
std::wstring Name;
std::atomic<int> ExitCode{0};
// Set by the control handler at a stop request, and by the service's main function once `work` has returned; the
// stop's ticks wait for them.
const HANDLE StopRequested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
const HANDLE WorkEnded = CreateEventW(nullptr, TRUE, FALSE, nullptr);
// The control handler, the stop's ticks and the service's own thread all report; one at a time, in order.
std::mutex ReportOrder;
ServiceStatusTrack Track;

void Report(ServiceState state, int exitCode = 0) {
    const std::lock_guard<std::mutex> ordered(ReportOrder);
    const std::optional<ServiceStatusReport> report = NextServiceStatus(Track, state, exitCode);
    if (!report)
        return;
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = report->state;
    status.dwControlsAccepted = report->controlsAccepted;
    status.dwWin32ExitCode = report->win32ExitCode;
    status.dwServiceSpecificExitCode = report->serviceExitCode;
    status.dwCheckPoint = report->checkPoint;
    status.dwWaitHint = report->waitHint;
    SetServiceStatus(Status, &status);
}

// Until `work` returns after a stop request, the stop is reported under way every tick: the last save may wait
// for the table's lock longer than any one wait hint.
void ReportStopProgress() {
    const HANDLE ends[] = {WorkEnded, StopRequested};
    if (WaitForMultipleObjects(2, ends, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
        return;
    do
        Report(ServiceState::StopPending);
    while (WaitForSingleObject(WorkEnded, StopTickMilliseconds) == WAIT_TIMEOUT);
}

DWORD WINAPI OnServiceControl(DWORD control, DWORD, void*, void*) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
    case SERVICE_CONTROL_PRESHUTDOWN:
        // The same way out as Ctrl+C; the service's main function reports it stopped.
        SetEvent(StopRequested);
        PostConsoleEvent(ConsoleEvent::Quit);
        return NO_ERROR;
    case SERVICE_CONTROL_PARAMCHANGE:
        PostConsoleEvent(ConsoleEvent::Reload);
        return NO_ERROR;
    case StatisticsControl:
        PostConsoleEvent(ConsoleEvent::Statistics);
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
    Report(ServiceState::StartPending);
    std::thread stopProgress(ReportStopProgress);
    ExitCode = Work(WorkArgumentCount, WorkArguments);
    SetEvent(WorkEnded);
    stopProgress.join();
    Report(ServiceState::Stopped, ExitCode);
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
        Report(ServiceState::Running);
}

void ReportServiceEvent(ServiceEvent event, std::string_view line) {
    if (Status == nullptr)
        return;
    const HANDLE log = RegisterEventSourceW(nullptr, Name.c_str());
    if (log == nullptr)
        return;
    // The IDs of the program's message table, which gives Event Viewer the text for each.
    DWORD id = ServiceStartedMessage;
    WORD type = EVENTLOG_INFORMATION_TYPE;
    switch (event) {
    case ServiceEvent::Started:
        break;
    case ServiceEvent::Stopped:
        id = ServiceStoppedMessage;
        break;
    case ServiceEvent::SetUpFailed:
        id = ServiceSetUpFailedMessage;
        type = EVENTLOG_ERROR_TYPE;
        break;
    case ServiceEvent::SaveFailed:
        id = ServiceSaveFailedMessage;
        type = EVENTLOG_ERROR_TYPE;
        break;
    }
    while (!line.empty() && line.back() == '\n')
        line.remove_suffix(1);
    const std::wstring wide = WideText(line);
    const wchar_t* strings[] = {wide.c_str()};
    ReportEventW(log, type, 0, id, nullptr, 1, 0, strings, nullptr);
    DeregisterEventSource(log);
}
