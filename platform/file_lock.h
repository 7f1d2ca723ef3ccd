#pragma once

#include <chrono>
#include <cstdint>

// An advisory lock that processes take on a lock file, so that their read-modify-writes of another file never
// overlap. Nothing stops a process that does not ask for it.
struct FileLock {
    std::intptr_t value = -1; // what it holds is the platform's business
};

struct FileLockResult {
    FileLock lock;
    int error = 0; // the platform's code of the failure; a lock still held by another after `wait` is one too
};

// Takes the lock of the named file, creating the file when it is missing (readable by every user, so that
// processes of other users can take it too), waiting for another holder at most `wait`.
FileLockResult LockFile(const char* lockFileName, std::chrono::milliseconds wait);

// Releases a lock that LockFile gave; does nothing for an empty one.
void UnlockFile(FileLock lock);
