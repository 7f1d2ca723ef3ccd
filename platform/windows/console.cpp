#include "platform/console.h"

#include "platform/windows/log_file.h"
#include "platform/windows/text.h"

#include <windows.h>
// shellapi.h needs windows.h before it.
#include <shellapi.h>
// Our seam names what the Windows headers name as macros of their own.
#undef SetConsoleTitle
#undef WriteConsole

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <io.h>
#include <string>

namespace {

HANDLE Output() { return GetStdHandle(STD_OUTPUT_HANDLE); }

// Written once by StartConsoleOutput on the console thread; the console's code page before it, given back at exit
// to the console that other programs share.
UINT OldOutputCodePage = 0;

void RestoreOutputCodePage() { SetConsoleOutputCP(OldOutputCodePage); }

// Set by SendConsoleOutputTo on the console thread once standard output goes to the log's pipe.
bool OutputToLog = false;

constexpr int StandardOutputDescriptor = 1;

// Without a standard output at start the C library's stream has no descriptor (-2), and freopen refuses it under
// Wine's msvcrt; that library's stream is a plain struct, where the descriptor can be given directly.
bool AttachStandardOutputStream() {
    if (_fileno(stdout) == StandardOutputDescriptor)
        return true;
#if defined(__MINGW32__) && !defined(_UCRT)
    stdout->_file = StandardOutputDescriptor;
    stdout->_flag = _IOWRT;
#else
    if (std::freopen("NUL", "w", stdout) == nullptr || _dup2(StandardOutputDescriptor, _fileno(stdout)) != 0)
        return false;
#endif
    return true;
}

} // namespace

// The Windows C library buffers a line-buffered stream fully: unbuffered is what comes out line by line.
// Our text is UTF-8, file names included, so the console shows it as such.
void StartConsoleOutput() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    OldOutputCodePage = GetConsoleOutputCP();
    if (OldOutputCodePage != 0 && OldOutputCodePage != CP_UTF8 && SetConsoleOutputCP(CP_UTF8))
        std::atexit(RestoreOutputCodePage);
}

// From the wide command line: the runtime's arguments carry only what the ANSI code page can spell, and turn
// the rest into look-alikes ("Łódź" into "Lodz") that name another file.
std::vector<std::string> ProgramArguments(int argumentCount, char** arguments) {
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr)
        return std::vector<std::string>(arguments, arguments + argumentCount);
    std::vector<std::string> texts;
    for (int i = 0; i < count; ++i)
        texts.push_back(Utf8Text(wide[i]));
    LocalFree(wide);
    return texts;
}

int SendConsoleOutputTo(const char* fileName) {
    const LogStart log = StartLogWriter(fileName);
    if (log.error != 0)
        return log.error;
    const HANDLE writing = static_cast<HANDLE>(log.writing);
    std::fflush(stdout);
    // A service starts without a standard output: the C library's stream and WriteConsole both get the pipe.
    const int descriptor = _open_osfhandle(reinterpret_cast<std::intptr_t>(writing), _O_TEXT | _O_APPEND);
    if (descriptor < 0 || _dup2(descriptor, StandardOutputDescriptor) != 0 || !AttachStandardOutputStream()) {
        if (descriptor < 0)
            CloseHandle(writing);
        else
            _close(descriptor);
        WaitForLogWriter();
        return ERROR_INVALID_HANDLE;
    }
    _close(descriptor);
    SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout))));
    OutputToLog = true;
    return 0;
}

void FinishConsoleOutput() {
    std::fflush(stdout);
    if (!OutputToLog)
        return;
    // Standard output holds the log's last writing end: closed, the log's thread writes the rest and ends.
    _close(StandardOutputDescriptor);
    SetStdHandle(STD_OUTPUT_HANDLE, nullptr);
    WaitForLogWriter();
    OutputToLog = false;
}

bool StandardOutputIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(Output(), &mode) != 0;
}

void SetConsoleTitle(const char* title) { SetConsoleTitleW(WideText(title).c_str()); }

void ClearConsole() {
    CONSOLE_SCREEN_BUFFER_INFO screen{};
    if (!GetConsoleScreenBufferInfo(Output(), &screen))
        return;
    std::fflush(stdout);
    const DWORD cells = static_cast<DWORD>(screen.dwSize.X) * static_cast<DWORD>(screen.dwSize.Y);
    DWORD written = 0;
    FillConsoleOutputCharacterA(Output(), ' ', cells, {0, 0}, &written);
    FillConsoleOutputAttribute(Output(), screen.wAttributes, cells, {0, 0}, &written);
    SetConsoleCursorPosition(Output(), {0, 0});
}

void MoveConsoleCursor(int column, int row) {
    std::fflush(stdout);
    SetConsoleCursorPosition(Output(), {static_cast<SHORT>(column), static_cast<SHORT>(row)});
}

void ShowConsoleWindow(bool show) {
    if (const HWND window = GetConsoleWindow(); window != nullptr)
        ShowWindow(window, show ? SW_SHOW : SW_HIDE);
}

void WriteConsole(std::string_view text) {
    std::fflush(stdout);
    // Line ends as the C library writes them in text mode, so that the two kinds of output agree.
    std::string lines;
    lines.reserve(text.size() + text.size() / 16);
    for (const char c : text) {
        if (c == '\n')
            lines += '\r';
        lines += c;
    }
    text = lines;
    while (!text.empty()) {
        DWORD written = 0;
        if (!WriteFile(Output(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) || written == 0)
            return; // nobody reads the console any more; the service goes on
        text.remove_prefix(written);
    }
}
