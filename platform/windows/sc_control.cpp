// sc-control NAME CODE: sends a service the control code, as `sc control NAME CODE` does on Windows, whose sc
// Wine's lacks. Built with the tests only; "paramchange" names code 8. Exit code 0 when the service took it.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argumentCount, wchar_t** arguments) {
    if (argumentCount != 3) {
        std::fputs("usage: sc-control NAME CODE|paramchange\n", stderr);
        return 2;
    }
    const DWORD control = std::wcscmp(arguments[2], L"paramchange") == 0
                              ? SERVICE_CONTROL_PARAMCHANGE
                              : static_cast<DWORD>(std::wcstoul(arguments[2], nullptr, 10));
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    const SC_HANDLE service =
        manager != nullptr ? OpenServiceW(manager, arguments[1], SERVICE_USER_DEFINED_CONTROL | SERVICE_PAUSE_CONTINUE)
                           : nullptr;
    SERVICE_STATUS status{};
    const bool sent = service != nullptr && ControlService(service, control, &status);
    if (!sent)
        std::fprintf(stderr, "sc-control: error %lu\n", GetLastError());
    if (service != nullptr)
        CloseServiceHandle(service);
    if (manager != nullptr)
        CloseServiceHandle(manager);
    return sent ? 0 : 1;
}
