#include "platform/windows/log_file.h"

#include "platform/windows/text.h"

#include <windows.h>

#include <cstdio>
#include <functional>
#include <thread>

namespace {

// Room for the console lines of a burst while the thread writes; a writer that fills it waits.
constexpr DWORD PipeSize = 1024 * 1024;
constexpr DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Written by StartLogFile before the thread starts, then the thread's alone until FinishLogFile joins it.
struct LogWriter {
    std::wstring path;
    std::wstring rolledPath;
    HANDLE file = INVALID_HANDLE_VALUE;
    HANDLE pipe = INVALID_HANDLE_VALUE; // the reading end
    std::uint64_t size = 0;
    bool atLineStart = true;
};
LogWriter Writer;
std::thread WriterThread;

HANDLE OpenLog(const std::wstring& path, std::uint64_t& size) {
    const HANDLE file =
        CreateFileW(path.c_str(), FILE_APPEND_DATA, ShareAll, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    LARGE_INTEGER length{};
    size =
        file != INVALID_HANDLE_VALUE && GetFileSizeEx(file, &length) ? static_cast<std::uint64_t>(length.QuadPart) : 0;
    return file;
}

std::string LocalTimeStamp() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u ", now.wYear, now.wMonth, now.wDay, now.wHour,
                  now.wMinute, now.wSecond);
    return stamp;
}

// The old log goes to FILE.1, over the one before; when it cannot (someone holds it), this one grows a while.
void RollOver(LogWriter& writer) {
    CloseHandle(writer.file);
    MoveFileExW(writer.path.c_str(), writer.rolledPath.c_str(), MOVEFILE_REPLACE_EXISTING);
    writer.file = OpenLog(writer.path, writer.size);
}

void WriteLog(LogWriter& writer) {
    char chunk[16384];
    std::string stamped;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(writer.pipe, chunk, sizeof chunk, &got, nullptr) || got == 0)
            break; // every writing end closed
        stamped.clear();
        StampLines(std::string_view(chunk, got), LocalTimeStamp(), writer.atLineStart, stamped);
        if (writer.size > 0 && writer.size + stamped.size() > LogRollSize)
            RollOver(writer);
        DWORD written = 0;
        if (writer.file != INVALID_HANDLE_VALUE &&
            WriteFile(writer.file, stamped.data(), static_cast<DWORD>(stamped.size()), &written, nullptr))
            writer.size += written;
    }
    CloseHandle(writer.pipe);
    if (writer.file != INVALID_HANDLE_VALUE)
        CloseHandle(writer.file);
}

} // namespace

void StampLines(std::string_view text, std::string_view stamp, bool& atLineStart, std::string& out) {
    for (const char c : text) {
        if (atLineStart)
            out += stamp;
        out += c;
        atLineStart = c == '\n';
    }
}

LogStart StartLogWriter(const char* fileName) {
    if (WriterThread.joinable())
        return {nullptr, ERROR_ALREADY_EXISTS};
    Writer.path = SystemPath(fileName);
    Writer.rolledPath = Writer.path + L".1";
    Writer.file = OpenLog(Writer.path, Writer.size);
    if (Writer.file == INVALID_HANDLE_VALUE)
        return {nullptr, static_cast<int>(GetLastError())};
    HANDLE reading = nullptr, writing = nullptr;
    if (!CreatePipe(&reading, &writing, nullptr, PipeSize)) {
        const DWORD error = GetLastError();
        CloseHandle(Writer.file);
        return {nullptr, static_cast<int>(error)};
    }
    Writer.pipe = reading;
    WriterThread = std::thread(WriteLog, std::ref(Writer));
    return {writing, 0};
}

void WaitForLogWriter() {
    if (WriterThread.joinable())
        WriterThread.join();
}
