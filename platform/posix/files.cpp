#include "platform/files.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int CloseKeepingError(int descriptor, int error) {
    if (close(descriptor) != 0 && error == 0)
        error = errno;
    return error;
}

int WriteAll(int descriptor, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t written = write(descriptor, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
    return 0;
}

std::string DirectoryOf(const std::string& fileName) {
    const std::size_t slash = fileName.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : fileName.substr(0, slash);
}

} // namespace

FileContents ReadWholeFile(const char* fileName) {
    FileContents contents;
    const int descriptor = open(fileName, O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        contents.error = errno;
        return contents;
    }
    struct stat status {};
    if (fstat(descriptor, &status) != 0) {
        contents.error = CloseKeepingError(descriptor, errno);
        return contents;
    }
    if (S_ISREG(status.st_mode))
        contents.bytes.reserve(static_cast<std::size_t>(status.st_size));
    std::uint8_t chunk[65536];
    for (;;) {
        const ssize_t got = read(descriptor, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            contents.error = errno;
            contents.bytes.clear();
            break;
        }
        if (got == 0)
            break;
        contents.bytes.insert(contents.bytes.end(), chunk, chunk + got);
    }
    contents.error = CloseKeepingError(descriptor, contents.error);
    return contents;
}

int ReplaceFile(const char* fileName, std::span<const std::uint8_t> bytes) {
    const std::string target = fileName;
    // The process id keeps two servers on the same file from writing one temporary file.
    const std::string temporary = target + "." + std::to_string(getpid()) + ".tmp";
    const int descriptor = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (descriptor < 0)
        return errno;
    int error = WriteAll(descriptor, bytes);
    if (error == 0 && fsync(descriptor) != 0)
        error = errno;
    error = CloseKeepingError(descriptor, error);
    if (error == 0 && rename(temporary.c_str(), target.c_str()) != 0)
        error = errno;
    if (error != 0) {
        unlink(temporary.c_str());
        return error;
    }
    // The rename itself is durable only once the directory is flushed; a failure here loses nothing that
    // is not already in place, so it is not reported.
    const int directory = open(DirectoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
        fsync(directory);
        close(directory);
    }
    return 0;
}
