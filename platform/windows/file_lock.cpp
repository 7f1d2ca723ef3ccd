#include "platform/file_lock.h"

#include "platform/windows/text.h"

#include <windows.h>

#include <thread>

namespace {

constexpr auto RetryPause = std::chrono::milliseconds(5);

} // namespace

FileLockResult LockFile(const char* lockFileName, std::chrono::milliseconds wait) {
    constexpr DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const std::wstring path = SystemPath(lockFileName);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, ShareAll, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    // A lock file that an administrator made may be ours to read only (a service under an account of its own);
    // LockFileEx needs no more than read access.
    if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
        file =
            CreateFileW(path.c_str(), GENERIC_READ, ShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return {{}, static_cast<int>(GetLastError())};
    // Polled rather than waited for, so that the wait has a time limit.
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        OVERLAPPED start{};
        if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &start))
            return {{reinterpret_cast<std::intptr_t>(file)}, 0};
        const DWORD error = GetLastError();
        if (error != ERROR_LOCK_VIOLATION || std::chrono::steady_clock::now() >= deadline) {
            CloseHandle(file);
            return {{}, static_cast<int>(error)};
        }
        std::this_thread::sleep_for(RetryPause);
    }
}

void UnlockFile(FileLock lock) {
    if (lock.value == -1)
        return;
    const HANDLE file = reinterpret_cast<HANDLE>(lock.value);
    OVERLAPPED start{};
    UnlockFileEx(file, 0, 1, 0, &start);
    CloseHandle(file);
}
