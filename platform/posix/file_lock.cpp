#include "platform/file_lock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr auto RetryPause = std::chrono::milliseconds(5);

} // namespace

FileLockResult LockFile(const char* lockFileName, std::chrono::milliseconds wait) {
    // A lock file made by another user may be ours to read only; flock needs no more.
    int descriptor = open(lockFileName, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (descriptor < 0 && errno == EACCES)
        descriptor = open(lockFileName, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (descriptor < 0)
        return {{}, errno};
    // Whatever the creator's umask, the lock must be open to every user's process that changes the file: a
    // service under a user of its own, an editor run as root. It holds nothing, so reading it gives nothing away.
    fchmod(descriptor, 0644);
    // Polled rather than waited for: a blocking flock cannot be given a time limit.
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        if (error == EINTR)
            continue;
        if (error != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline) {
            close(descriptor);
            return {{}, error};
        }
        std::this_thread::sleep_for(RetryPause);
    }
    return {{descriptor}, 0};
}

void UnlockFile(FileLock lock) {
    // Closing the only descriptor releases the lock.
    if (lock.value >= 0)
        close(static_cast<int>(lock.value));
}
