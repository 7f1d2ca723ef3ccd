#pragma once

#include <cstdint>
#include <span>
#include <vector>

struct FileContents {
    std::vector<std::uint8_t> bytes;
    int error = 0; // 0, or the errno of the failure; ENOENT when the file does not exist
};

// Reads a whole file into memory.
FileContents ReadWholeFile(const char* fileName);

// Replaces the file with the bytes: a temporary file beside it is written, flushed to disk and renamed over it,
// so a failure at any point leaves the old file whole. Returns 0 or the errno of the failure.
int ReplaceFile(const char* fileName, std::span<const std::uint8_t> bytes);
