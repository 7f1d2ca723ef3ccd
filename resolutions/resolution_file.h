#pragma once

#include "resolutions/resolution_table.h"

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

struct ResolutionFileLoad {
    std::unique_ptr<ResolutionTable> table; // never null; empty when the file is missing or unreadable
    int error = 0; // 0 when the file was read or does not exist; otherwise the errno of the failed read
};

// Builds a new table from the named file. A missing file gives an empty table and no error; a file that exists
// but cannot be read gives an empty table and its error, so that nobody saves over it. Prints nothing.
ResolutionFileLoad LoadResolutionFile(const char* fileName);

// Writes the table to the named file, replacing it whole or not at all. Returns 0, or the errno of the failure,
// in which case the old file is left as it was. Prints nothing.
[[nodiscard]] int SaveResolutionFile(const ResolutionTable& table, const char* fileName);

// The file format, little-endian: a 32-bit entry count, then per entry its 32-bit kind, a 16-bit name length
// and the name, then for kind 1 a 16-bit target length and the target, for any other kind the 4 address bytes.
std::unique_ptr<ResolutionTable> ParseResolutionFile(std::span<const std::uint8_t> bytes);
std::vector<std::uint8_t> SerializeResolutionTable(const ResolutionTable& table);
