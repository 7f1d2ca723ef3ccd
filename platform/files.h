#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

// Which file, and how long: enough to tell that a file was replaced or grown by someone else.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    bool operator==(const FileIdentity&) const = default;
};

// Errors are the platform's own codes (errno, GetLastError), 0 for none; ErrorText turns one into text.
std::string ErrorText(int error);

// What AppendToFile returns when the file is not the one expected.
inline constexpr int StaleFile = -1;

struct FileContents {
    std::vector<std::uint8_t> bytes;
    int error = 0;        // 0, or the platform's code of the failure
    bool missing = false; // the file does not exist: no failure, an empty table
    FileIdentity identity;
};

// Reads a whole file into memory.
FileContents ReadWholeFile(const char* fileName);

// Replaces the file with the bytes: a temporary file beside it is written, flushed to disk and renamed over it,
// so a failure at any point leaves the old file whole. Returns 0 or the errno of the failure; tells what it
// wrote when asked.
int ReplaceFile(const char* fileName, std::span<const std::uint8_t> bytes, FileIdentity* written = nullptr);

// Writes `tail` at the end of a file that is still `expected` (StaleFile, and nothing written, when it is not),
// flushes it, then writes `head` over the file's first bytes and flushes again. Updates `expected`. Returns 0 or
// the platform's code of the failure.
int AppendToFile(const char* fileName, FileIdentity& expected, std::span<const std::uint8_t> tail,
                 std::span<const std::uint8_t> head);

// Removes the temporary files that saves of the named file left behind when their process died, so that they
// never pile up. Files of processes still running, and every other file, are left alone.
void RemoveAbandonedTemporaryFiles(const char* fileName);
