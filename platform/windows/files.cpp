#include "platform/files.h"

#include <windows.h>
// Our seam names what the Windows headers name as macros of their own.
#undef ReplaceFile

#include <algorithm>
#include <string>
#include <string_view>
#include <system_error>

namespace {

FileIdentity IdentityOf(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(file, &information))
        return {};
    return {information.dwVolumeSerialNumber,
            (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow,
            (static_cast<std::uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow,
            (static_cast<std::uint64_t>(information.ftLastWriteTime.dwHighDateTime) << 32) |
                information.ftLastWriteTime.dwLowDateTime};
}

int WriteAll(HANDLE file, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
        if (!WriteFile(file, bytes.data(), chunk, &written, nullptr))
            return static_cast<int>(GetLastError());
        bytes = bytes.subspan(written);
    }
    return 0;
}

int WriteAllAt(HANDLE file, std::span<const std::uint8_t> bytes, std::uint64_t offset) {
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(file, position, nullptr, FILE_BEGIN))
        return static_cast<int>(GetLastError());
    return WriteAll(file, bytes);
}

int CloseKeepingError(HANDLE file, int error) {
    if (!CloseHandle(file) && error == 0)
        error = static_cast<int>(GetLastError());
    return error;
}

} // namespace

std::string ErrorText(int error) { return std::system_category().message(error); }

const char* const PathSeparators = "\\/";

// Links are left to the system: ReplaceFile works on the name given.
std::string FollowLinks(const char* fileName) { return fileName; }

FileStatus IdentifyFile(const char* fileName) {
    FileStatus result;
    // No access asked for, and every kind of sharing allowed: nobody else's open is disturbed.
    const HANDLE file = CreateFileA(fileName, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        result.missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        result.error = result.missing ? 0 : static_cast<int>(error);
        return result;
    }
    result.identity = IdentityOf(file);
    CloseHandle(file);
    return result;
}

FileContents ReadWholeFile(const char* fileName) {
    FileContents contents;
    const HANDLE file = CreateFileA(fileName, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        contents.missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        contents.error = contents.missing ? 0 : static_cast<int>(error);
        return contents;
    }
    // A directory, a device or a pipe is no table, and some would feed us without end.
    BY_HANDLE_FILE_INFORMATION information{};
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        contents.error = CloseKeepingError(file, ERROR_INVALID_FUNCTION);
        return contents;
    }
    contents.identity = IdentityOf(file);
    contents.bytes.reserve(static_cast<std::size_t>(contents.identity.size));
    std::uint8_t chunk[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, chunk, sizeof chunk, &got, nullptr)) {
            contents.error = static_cast<int>(GetLastError());
            contents.bytes.clear();
            break;
        }
        if (got == 0)
            break;
        contents.bytes.insert(contents.bytes.end(), chunk, chunk + got);
    }
    contents.error = CloseKeepingError(file, contents.error);
    return contents;
}

int ReplaceFile(const char* target, const char* temporary, std::span<const std::uint8_t> bytes, FileIdentity* written) {
    const HANDLE file =
        CreateFileA(temporary, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return static_cast<int>(GetLastError());
    int error = WriteAll(file, bytes);
    if (error == 0 && !FlushFileBuffers(file))
        error = static_cast<int>(GetLastError());
    error = CloseKeepingError(file, error);
    // ReplaceFileA keeps the old file's attributes and access rights; a file that is not there yet is moved in.
    if (error == 0 && !ReplaceFileA(target, temporary, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) &&
        !MoveFileExA(temporary, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        error = static_cast<int>(GetLastError());
    if (error != 0) {
        DeleteFileA(temporary);
        return error;
    }
    if (written != nullptr) {
        const HANDLE replaced = CreateFileA(target, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (replaced != INVALID_HANDLE_VALUE) {
            *written = IdentityOf(replaced);
            CloseHandle(replaced);
        }
    }
    return 0;
}

AppendResult AppendToFile(const char* fileName, FileIdentity& expected, std::span<const std::uint8_t> tail,
                          std::span<const std::uint8_t> head) {
    const HANDLE file =
        CreateFileA(fileName, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND ? AppendResult{0, true} : AppendResult{static_cast<int>(error), false};
    }
    if (!(IdentityOf(file) == expected) || expected.size < head.size())
        return {CloseKeepingError(file, 0), true};
    // The tail must be on disk before the head counts it: a crash in between leaves the old head, and the
    // tail as bytes behind what it counts.
    int error = WriteAllAt(file, tail, expected.size);
    if (error == 0 && !FlushFileBuffers(file))
        error = static_cast<int>(GetLastError());
    if (error == 0)
        error = WriteAllAt(file, head, 0);
    if (error == 0 && !FlushFileBuffers(file))
        error = static_cast<int>(GetLastError());
    // The writes changed the size and the time: the file as it now is, which nobody else has touched.
    if (error == 0)
        expected = IdentityOf(file);
    return {CloseKeepingError(file, error), false};
}

NewFileResult WriteNewFile(const char* fileName, std::span<const std::uint8_t> bytes) {
    const HANDLE file = CreateFileA(fileName, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return {static_cast<int>(error), error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS};
    }
    int error = WriteAll(file, bytes);
    if (error == 0 && !FlushFileBuffers(file))
        error = static_cast<int>(GetLastError());
    return {CloseKeepingError(file, error), false};
}

std::vector<std::string> ListDirectory(const char* directory) {
    std::vector<std::string> names;
    std::string pattern = directory;
    if (!pattern.empty() && pattern.back() != '\\' && pattern.back() != '/')
        pattern += '\\';
    WIN32_FIND_DATAA found{};
    const HANDLE search = FindFirstFileA((pattern + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        const std::string_view name = found.cFileName;
        if (name != "." && name != "..")
            names.emplace_back(name);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return names;
}

void RemoveFile(const char* fileName) { DeleteFileA(fileName); }

std::uint64_t CurrentProcessId() { return GetCurrentProcessId(); }

bool ProcessHasEnded(std::uint64_t processId) {
    if (processId == 0 || processId > 0xFFFFFFFFu)
        return false;
    // A process that cannot be opened for want of rights is alive; one that is not there at all is dead.
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(processId));
    if (process == nullptr)
        return GetLastError() == ERROR_INVALID_PARAMETER;
    DWORD exitCode = 0;
    const bool ended = GetExitCodeProcess(process, &exitCode) && exitCode != STILL_ACTIVE;
    CloseHandle(process);
    return ended;
}
