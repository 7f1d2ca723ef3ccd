#include "platform/files.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <system_error>
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

FileIdentity IdentityOf(const struct stat& status) {
    return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
            static_cast<std::uint64_t>(status.st_size),
            static_cast<std::uint64_t>(status.st_mtim.tv_sec) * 1000000000u +
                static_cast<std::uint64_t>(status.st_mtim.tv_nsec),
            static_cast<std::uint64_t>(status.st_ctim.tv_sec) * 1000000000u +
                static_cast<std::uint64_t>(status.st_ctim.tv_nsec)};
}

// True when the file holds exactly these bytes at the offset.
bool HoldsAt(int descriptor, std::span<const std::uint8_t> bytes, off_t offset) {
    std::vector<std::uint8_t> read(bytes.size());
    std::size_t got = 0;
    while (got < read.size()) {
        const ssize_t part = pread(descriptor, read.data() + got, read.size() - got, offset + off_t(got));
        if (part < 0 && errno == EINTR)
            continue;
        if (part <= 0)
            return false;
        got += static_cast<std::size_t>(part);
    }
    return std::equal(read.begin(), read.end(), bytes.begin());
}

int WriteAllAt(int descriptor, std::span<const std::uint8_t> bytes, off_t offset) {
    while (!bytes.empty()) {
        const ssize_t written = pwrite(descriptor, bytes.data(), bytes.size(), offset);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(written));
        offset += written;
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

const char* const PathSeparators = "/";

std::string FollowLinks(const char* fileName) {
    std::string path = fileName;
    // Bounded like the kernel's own walk.
    for (int hop = 0; hop < 40; ++hop) {
        char target[4096];
        const ssize_t length = readlink(path.c_str(), target, sizeof target);
        if (length < 0 || static_cast<std::size_t>(length) >= sizeof target)
            return path;
        const std::string link(target, static_cast<std::size_t>(length));
        path = link.starts_with('/') || path.find('/') == std::string::npos ? link : DirectoryOf(path) + "/" + link;
    }
    return path;
}

std::string ErrorText(int error) {
    // generic_category is thread-safe, unlike strerror.
    return std::generic_category().message(error);
}

FileStatus IdentifyFile(const char* fileName) {
    FileStatus result;
    struct stat status {};
    if (stat(fileName, &status) != 0) {
        result.missing = errno == ENOENT;
        result.error = result.missing ? 0 : errno;
        return result;
    }
    result.identity = IdentityOf(status);
    return result;
}

FileContents ReadWholeFile(const char* fileName) {
    FileContents contents;
    // Non-blocking, so that a named pipe cannot hold the open up; a regular file reads as usual.
    const int descriptor = open(fileName, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (descriptor < 0) {
        contents.missing = errno == ENOENT;
        contents.error = contents.missing ? 0 : errno;
        return contents;
    }
    struct stat status {};
    if (fstat(descriptor, &status) != 0) {
        contents.error = CloseKeepingError(descriptor, errno);
        return contents;
    }
    // A device or a pipe could feed us without end.
    if (!S_ISREG(status.st_mode)) {
        contents.error = CloseKeepingError(descriptor, S_ISDIR(status.st_mode) ? EISDIR : EINVAL);
        return contents;
    }
    contents.identity = IdentityOf(status);
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

int ReplaceFile(const char* target, const char* temporary, std::span<const std::uint8_t> bytes, FileIdentity* written) {
    const int descriptor = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (descriptor < 0)
        return errno;
    // The new file keeps the old one's permissions, and its owner where this process may set it.
    struct stat old {};
    if (stat(target, &old) == 0) {
        fchmod(descriptor, old.st_mode & 07777);
        [[maybe_unused]] const int ignored = fchown(descriptor, old.st_uid, old.st_gid);
    }
    int error = WriteAll(descriptor, bytes);
    if (error == 0 && fsync(descriptor) != 0)
        error = errno;
    error = CloseKeepingError(descriptor, error);
    if (error == 0 && rename(temporary, target) != 0)
        error = errno;
    if (error != 0) {
        unlink(temporary);
        return error;
    }
    // The rename itself is durable only once the directory is flushed; a failure here loses nothing that
    // is not already in place, so it is not reported.
    const int directory = open(DirectoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
        fsync(directory);
        close(directory);
    }
    // Looked at after the rename, which changes the file's change time.
    struct stat status {};
    if (written != nullptr && stat(target, &status) == 0)
        *written = IdentityOf(status);
    return 0;
}

AppendResult AppendToFile(const char* fileName, FileIdentity& expected, std::span<const std::uint8_t> tail,
                          std::span<const std::uint8_t> head) {
    const int descriptor = open(fileName, O_RDWR | O_CLOEXEC);
    if (descriptor < 0)
        return errno == ENOENT ? AppendResult{0, true} : AppendResult{errno, false};
    struct stat status {};
    if (fstat(descriptor, &status) != 0)
        return {CloseKeepingError(descriptor, errno), false};
    if (!(IdentityOf(status) == expected) || expected.size < head.size())
        return {CloseKeepingError(descriptor, 0), true};
    const auto end = static_cast<off_t>(expected.size);
    // Nobody else may have changed the size or our bytes: the head is written only into the file we grew.
    const auto undisturbed = [&] {
        return fstat(descriptor, &status) == 0 && std::uint64_t(status.st_size) == expected.size + tail.size() &&
               HoldsAt(descriptor, tail, end);
    };
    // The tail must be on disk before the head counts it: a crash in between leaves the old head, and the
    // tail as bytes behind what it counts.
    int error = WriteAllAt(descriptor, tail, end);
    if (error == 0 && fdatasync(descriptor) != 0)
        error = errno;
    if (error != 0)
        return {CloseKeepingError(descriptor, error), false};
    if (!undisturbed())
        return {CloseKeepingError(descriptor, 0), false, true};
    error = WriteAllAt(descriptor, head, 0);
    if (error == 0 && fdatasync(descriptor) != 0)
        error = errno;
    if (error != 0)
        return {CloseKeepingError(descriptor, error), false};
    if (!undisturbed() || !HoldsAt(descriptor, head, 0))
        return {CloseKeepingError(descriptor, 0), false, true};
    expected = IdentityOf(status);
    return {CloseKeepingError(descriptor, 0), false};
}

NewFileResult WriteNewFile(const char* fileName, std::span<const std::uint8_t> bytes) {
    const int descriptor = open(fileName, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (descriptor < 0)
        return {errno, errno == EEXIST};
    int error = WriteAll(descriptor, bytes);
    if (error == 0 && fsync(descriptor) != 0)
        error = errno;
    return {CloseKeepingError(descriptor, error), false};
}

std::vector<std::string> ListDirectory(const char* directoryName) {
    std::vector<std::string> names;
    DIR* directory = opendir(directoryName);
    if (directory == nullptr)
        return names;
    while (const dirent* item = readdir(directory)) {
        const std::string_view name = item->d_name;
        if (name != "." && name != "..")
            names.emplace_back(name);
    }
    closedir(directory);
    return names;
}

void RemoveFile(const char* fileName) { unlink(fileName); }

std::uint64_t CurrentProcessId() { return static_cast<std::uint64_t>(getpid()); }

bool ProcessHasEnded(std::uint64_t processId) {
    const auto id = static_cast<pid_t>(processId);
    if (id <= 0 || static_cast<std::uint64_t>(id) != processId)
        return false;
    return kill(id, 0) != 0 && errno == ESRCH;
}
