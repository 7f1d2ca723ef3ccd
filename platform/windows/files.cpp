#include "platform/files.h"

#include "platform/windows/text.h"

#include <windows.h>
// Our seam names what the Windows headers name as macros of their own.
#undef ReplaceFile

#include <algorithm>
#include <chrono>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// Others open the table beside us: the editor beside a running server, antivirus and backup tools.
constexpr DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// What antivirus scanners, backup and indexing tools cause by holding the file for a moment. Access denied is no
// such thing: the rights will not change while the saver waits, holding the table's lock.
bool Transient(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
           error == ERROR_UNABLE_TO_REMOVE_REPLACED;
}

// ReplaceFileW keeps the old file's attributes and access rights. Its error is the one reported: it is the
// operation asked for, and a MoveFileEx after it would give the table the temporary file's rights. The old table
// goes to a backup name of ours, not one the system makes up: when the new one then cannot be moved in (1177) the
// old one is put back, and the table's name never stays empty.
DWORD ReplaceTarget(const std::wstring& target, const std::wstring& temporary) {
    constexpr int Attempts = 7; // pauses of 20 ms doubling to 640 ms: about 1.3 s in all, on the saver's thread
    const std::wstring backup = temporary + L".old";
    DWORD error = 0;
    for (int attempt = 0; attempt < Attempts; ++attempt) {
        if (attempt > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10 << attempt));
        if (ReplaceFileW(target.c_str(), temporary.c_str(), backup.c_str(), REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                         nullptr)) {
            DeleteFileW(backup.c_str());
            return 0;
        }
        error = GetLastError();
        // No table yet; or the new one must be moved in by hand: over the old table (1176), or into the name the
        // old one has left for the backup (1177).
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_UNABLE_TO_MOVE_REPLACEMENT ||
            error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
            const bool moved =
                MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
            const DWORD moveError = moved ? 0 : GetLastError();
            if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
                if (moved)
                    DeleteFileW(backup.c_str());
                else
                    MoveFileExW(backup.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH);
            }
            if (moved)
                return 0;
            if (error == ERROR_FILE_NOT_FOUND)
                error = moveError;
            if (!Transient(moveError))
                return error;
            continue;
        }
        if (!Transient(error))
            return error;
    }
    return error;
}

FileIdentity IdentityOf(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(file, &information))
        return {};
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic))
        basic = {};
    return {information.dwVolumeSerialNumber,
            (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow,
            (static_cast<std::uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow,
            (static_cast<std::uint64_t>(information.ftLastWriteTime.dwHighDateTime) << 32) |
                information.ftLastWriteTime.dwLowDateTime,
            static_cast<std::uint64_t>(basic.ChangeTime.QuadPart)};
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
    const HANDLE file =
        CreateFileW(SystemPath(fileName).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
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
    const HANDLE file = CreateFileW(SystemPath(fileName).c_str(), GENERIC_READ, ShareAll, nullptr, OPEN_EXISTING,
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
    const std::wstring targetPath = SystemPath(target), temporaryPath = SystemPath(temporary);
    const HANDLE file =
        CreateFileW(temporaryPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return static_cast<int>(GetLastError());
    int error = WriteAll(file, bytes);
    if (error == 0 && !FlushFileBuffers(file))
        error = static_cast<int>(GetLastError());
    error = CloseKeepingError(file, error);
    if (error == 0)
        error = static_cast<int>(ReplaceTarget(targetPath, temporaryPath));
    if (error != 0) {
        DeleteFileW(temporaryPath.c_str());
        return error;
    }
    if (written != nullptr) {
        const HANDLE replaced =
            CreateFileW(targetPath.c_str(), 0, ShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (replaced != INVALID_HANDLE_VALUE) {
            *written = IdentityOf(replaced);
            CloseHandle(replaced);
        }
    }
    return 0;
}

// True when the file holds exactly these bytes at the offset.
bool HoldsAt(HANDLE file, std::span<const std::uint8_t> bytes, std::uint64_t offset) {
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(file, position, nullptr, FILE_BEGIN))
        return false;
    std::vector<std::uint8_t> read(bytes.size());
    std::size_t got = 0;
    while (got < read.size()) {
        DWORD part = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(read.size() - got, 1u << 30));
        if (!ReadFile(file, read.data() + got, chunk, &part, nullptr) || part == 0)
            return false;
        got += part;
    }
    return std::equal(read.begin(), read.end(), bytes.begin());
}

AppendResult AppendToFile(const char* fileName, FileIdentity& expected, std::span<const std::uint8_t> tail,
                          std::span<const std::uint8_t> head) {
    const HANDLE file = CreateFileW(SystemPath(fileName).c_str(), GENERIC_READ | GENERIC_WRITE, ShareAll, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND ? AppendResult{0, true} : AppendResult{static_cast<int>(error), false};
    }
    if (!(IdentityOf(file) == expected) || expected.size < head.size())
        return {CloseKeepingError(file, 0), true};
    // Nobody else may have changed the size or our bytes: the head is written only into the file we grew.
    FileIdentity now;
    const auto undisturbed = [&] {
        now = IdentityOf(file);
        return now.size == expected.size + tail.size() && HoldsAt(file, tail, expected.size);
    };
    // The tail must be on disk before the head counts it: a crash in between leaves the old head, and the
    // tail as bytes behind what it counts.
    int error = WriteAllAt(file, tail, expected.size);
    if (error == 0 && !FlushFileBuffers(file))
        error = static_cast<int>(GetLastError());
    if (error != 0)
        return {CloseKeepingError(file, error), false};
    if (!undisturbed())
        return {CloseKeepingError(file, 0), false, true};
    error = WriteAllAt(file, head, 0);
    if (error == 0 && !FlushFileBuffers(file))
        error = static_cast<int>(GetLastError());
    if (error != 0)
        return {CloseKeepingError(file, error), false};
    if (!undisturbed() || !HoldsAt(file, head, 0))
        return {CloseKeepingError(file, 0), false, true};
    expected = now;
    return {CloseKeepingError(file, 0), false};
}

NewFileResult WriteNewFile(const char* fileName, std::span<const std::uint8_t> bytes) {
    const HANDLE file = CreateFileW(SystemPath(fileName).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
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
    pattern += '*';
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW(SystemPath(pattern.c_str()).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        const std::wstring_view name = found.cFileName;
        if (name != L"." && name != L"..")
            names.push_back(Utf8Text(name));
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

void RemoveFile(const char* fileName) { DeleteFileW(SystemPath(fileName).c_str()); }

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
