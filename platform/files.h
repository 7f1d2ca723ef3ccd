#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

// Which file, how long, and when it was last written: enough to tell that a file was replaced, grown or changed
// in place by someone else.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::uint64_t modified = 0; // in the platform's own units
    // When the file's contents or attributes last changed, which nobody can set back: a copy that keeps the
    // modification time (cp -p, touch -r) still shows here.
    std::uint64_t changed = 0;
    bool operator==(const FileIdentity&) const = default;
};

// Errors are the platform's own codes (errno, GetLastError), 0 for none; ErrorText turns one into text.
std::string ErrorText(int error);

// The characters that end a directory's part of a path.
extern const char* const PathSeparators;

struct FileContents {
    std::vector<std::uint8_t> bytes;
    int error = 0;        // 0, or the platform's code of the failure
    bool missing = false; // the file does not exist: no failure
    FileIdentity identity;
};

// Reads a whole regular file into memory; anything else (a directory, a device, a pipe) is an error.
FileContents ReadWholeFile(const char* fileName);

struct FileStatus {
    FileIdentity identity;
    int error = 0;        // 0, or the platform's code of the failure
    bool missing = false; // the file does not exist: no failure
};

// The identity of the named file (after links), without opening it for reading.
FileStatus IdentifyFile(const char* fileName);

// The path that a chain of symbolic links leads to (its last link may lead nowhere yet); the name itself where it
// is no link or the system has none.
std::string FollowLinks(const char* fileName);

// Writes the bytes to the temporary file, flushes them to disk and renames it over the target, so a failure at
// any point leaves the target whole; the new file keeps the old one's access rights. The temporary file is gone
// afterwards either way. Returns 0 or the platform's code of the failure; tells what it wrote when asked.
int ReplaceFile(const char* target, const char* temporary, std::span<const std::uint8_t> bytes,
                FileIdentity* written = nullptr);

struct AppendResult {
    int error = 0;          // the platform's code of a failure
    bool stale = false;     // the file is not the one expected: nothing was written
    bool disturbed = false; // someone else wrote to the file while we did: it holds what they make of it
};

// Writes `tail` at the end of a file that is still `expected`, flushes it, then writes `head` over the file's
// first bytes and flushes again, and reads both back: a program that rewrites the file meanwhile (a `cp` over it)
// shows as a disturbance, and the head is not written when it shows before. Updates `expected` to the file as it
// now is.
AppendResult AppendToFile(const char* fileName, FileIdentity& expected, std::span<const std::uint8_t> tail,
                          std::span<const std::uint8_t> head);

struct NewFileResult {
    int error = 0;       // the platform's code of a failure
    bool exists = false; // a file of that name is there already: it was left alone
};

// Creates the file, which must not exist yet, with the bytes, flushed to disk. Never writes over a file.
NewFileResult WriteNewFile(const char* fileName, std::span<const std::uint8_t> bytes);

// The names in a directory, without "." and ".."; none when it cannot be read.
std::vector<std::string> ListDirectory(const char* directory);
void RemoveFile(const char* fileName);

std::uint64_t CurrentProcessId();
// True only when the process is known to have ended: one that cannot be asked about counts as running.
bool ProcessHasEnded(std::uint64_t processId);
