#include "platform/files.h"

#include <windows.h>
// Our seam names what the Windows headers name as macros of their own.
#undef ReplaceFile

#include <algorithm>
#include <charconv>
#include <string>
#include <system_error>

namespace {

FileIdentity IdentityOf(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(file, &information))
        return {};
    return {information.dwVolumeSerialNumber,
            (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow,
            (static_cast<std::uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow};
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

std::size_t LastSeparator(const std::string& path) { return path.find_last_of("\\/"); }

std::string DirectoryOf(const std::string& fileName) {
    const std::size_t separator = LastSeparator(fileName);
    return separator == std::string::npos ? "." : fileName.substr(0, separator);
}

std::string BaseNameOf(const std::string& fileName) {
    const std::size_t separator = LastSeparator(fileName);
    return separator == std::string::npos ? fileName : fileName.substr(separator + 1);
}

} // namespace

std::string ErrorText(int error) { return std::system_category().message(error); }

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

int ReplaceFile(const char* fileName, std::span<const std::uint8_t> bytes, FileIdentity* written) {
    const std::string target = fileName;
    // The process id keeps two servers on the same file from writing one temporary file.
    const std::string temporary = target + "." + std::to_string(GetCurrentProcessId()) + ".tmp";
    const HANDLE file =
        CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return static_cast<int>(GetLastError());
    int error = WriteAll(file, bytes);
    if (error == 0 && !FlushFileBuffers(file))
        error = static_cast<int>(GetLastError());
    error = CloseKeepingError(file, error);
    // ReplaceFileA keeps the old file's attributes and access rights; a file that is not there yet is moved in.
    if (error == 0 &&
        !ReplaceFileA(target.c_str(), temporary.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) &&
        !MoveFileExA(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        error = static_cast<int>(GetLastError());
    if (error != 0) {
        DeleteFileA(temporary.c_str());
        return error;
    }
    if (written != nullptr) {
        const HANDLE replaced = CreateFileA(target.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (replaced != INVALID_HANDLE_VALUE) {
            *written = IdentityOf(replaced);
            CloseHandle(replaced);
        }
    }
    return 0;
}

int AppendToFile(const char* fileName, FileIdentity& expected, std::span<const std::uint8_t> tail,
                 std::span<const std::uint8_t> head) {
    const HANDLE file =
        CreateFileA(fileName, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND ? StaleFile : static_cast<int>(error);
    }
    if (!(IdentityOf(file) == expected) || expected.size < head.size())
        return CloseKeepingError(file, StaleFile);
    // The tail must be on disk before the head counts it: a crash in between leaves the old head, and the
    // tail as bytes behind what it counts.
    int error = WriteAllAt(file, tail, expected.size);
    if (error == 0 && !FlushFileBuffers(file))
        error = static_cast<int>(GetLastError());
    if (error == 0)
        error = WriteAllAt(file, head, 0);
    if (error == 0 && !FlushFileBuffers(file))
        error = static_cast<int>(GetLastError());
    if (error == 0)
        expected.size += tail.size();
    return CloseKeepingError(file, error);
}

void RemoveAbandonedTemporaryFiles(const char* fileName) {
    const std::string directory = DirectoryOf(fileName);
    const std::string prefix = BaseNameOf(fileName) + ".";
    WIN32_FIND_DATAA found{};
    const HANDLE search = FindFirstFileA((directory + "\\" + prefix + "*.tmp").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        // Ours are named FILE.PID.tmp.
        const std::string_view name = found.cFileName;
        if (!name.starts_with(prefix) || !name.ends_with(".tmp"))
            continue;
        const std::string_view digits = name.substr(prefix.size(), name.size() - prefix.size() - 4);
        DWORD owner = 0;
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), owner);
        if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || owner == 0 ||
            owner == GetCurrentProcessId())
            continue;
        // A process that cannot be opened for want of rights is alive; one that is not there at all is dead.
        const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, owner);
        bool dead = process == nullptr && GetLastError() == ERROR_INVALID_PARAMETER;
        if (process != nullptr) {
            DWORD exitCode = 0;
            dead = GetExitCodeProcess(process, &exitCode) && exitCode != STILL_ACTIVE;
            CloseHandle(process);
        }
        if (dead)
            DeleteFileA((directory + "\\" + std::string(name)).c_str());
    } while (FindNextFileA(search, &found));
    FindClose(search);
}
