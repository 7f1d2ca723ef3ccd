#pragma once

#include "platform/file_lock.h"
#include "platform/files.h"
#include "resolutions/resolution_table.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

struct ParsedResolutionFile {
    std::unique_ptr<ResolutionTable> table; // never null
    // The bytes are exactly what saving the table would write: nothing cut, nothing behind the last record.
    bool exact = false;
    // Every counted record is there, and behind them at most the records, the last whole or cut short, that a
    // crash between an append's two writes leaves. Anything else is no table of ours, which nobody may save over
    // unkept.
    bool whole = false;
    // How many entries from the first on were read in full: the readable part of a file that is no whole table.
    std::size_t complete = 0;
};

struct ResolutionFileLoad {
    std::unique_ptr<ResolutionTable> table; // never null
    bool exact = false;                     // as in ParsedResolutionFile
    bool whole = false;                     // likewise; false for a missing file
    std::size_t complete = 0;               // likewise
    bool missing = false;
    int error = 0;         // 0 when the file was read or does not exist; otherwise the platform's code of the failure
    FileIdentity identity; // of the file as read; all zero when it does not exist
    std::vector<std::uint8_t> bytes; // the file's bytes when it is no whole table, to keep them before a save
};

// The file as a process last read or wrote it, so that it can tell a change by someone else.
struct KnownResolutionFile {
    FileIdentity identity; // all zero: none known
    bool exact = false;    // it held exactly a table of `count` entries
    std::size_t count = 0;
};

// Builds a new table from the named file. A missing file gives an empty table and no error; a file that exists
// but cannot be read gives an empty table and its error, so that nobody saves over it. Prints nothing.
ResolutionFileLoad LoadResolutionFile(const char* fileName);

// Writes the table to the named file, replacing it whole or not at all: through FILE.PID.tmp beside the file a
// link leads to. Returns 0, or the platform's code of the failure, in which case the old file is left as it was.
// Tells what it wrote when asked. Prints nothing.
[[nodiscard]] int SaveResolutionFile(const ResolutionTable& table, const char* fileName,
                                     FileIdentity* written = nullptr);
// The same for a table already serialized.
[[nodiscard]] int SaveResolutionFile(std::span<const std::uint8_t> bytes, const char* fileName,
                                     FileIdentity* written = nullptr);

// Adds records behind the last of a file that is still `expected` (else stale, and nothing written), then sets
// its entry count, each step flushed to disk: at every instant the file holds the old table or the new. Updates
// `expected` to the file as it now is. Prints nothing.
[[nodiscard]] AppendResult AppendResolutionRecords(const char* fileName, FileIdentity& expected,
                                                   std::span<const std::uint8_t> records, std::uint32_t count);

// Takes the lock that orders every read-modify-write of the file among processes: FILE.lock beside the file that
// a link leads to, waiting for another holder at most `wait`. Held only while the file is read and written,
// never while anyone waits for a client.
[[nodiscard]] FileLockResult LockResolutionFile(const char* fileName, std::chrono::milliseconds wait);

struct KeptFile {
    std::string name; // where the bytes are kept; empty when there was nothing to keep
    int error = 0;    // the platform's code of a failure: then nothing may replace the file
};

// Keeps the bytes of a file that is no whole table beside it, before a save replaces it: as FILE.damaged, or
// FILE.damaged.2 up to .10 when those are taken; with all ten taken, in place of the oldest. An empty file is
// nothing to keep.
KeptFile KeepDamagedResolutionFile(const char* fileName, std::span<const std::uint8_t> bytes);

// Removes the temporary files that saves of the named file left behind when their process died, so that they
// never pile up. Files of processes still running, and every other file, are left alone.
void RemoveAbandonedTemporaryFiles(const char* fileName);

// The file format, little-endian: a 32-bit entry count, then per entry its 32-bit kind, a 16-bit name length
// and the name, then for kind 1 a 16-bit target length and the target, for any other kind the 4 address bytes.
ParsedResolutionFile ParseResolutionFile(std::span<const std::uint8_t> bytes);
std::vector<std::uint8_t> SerializeResolutionTable(const ResolutionTable& table);
// The entry count at the head of a serialized table, read and set in place.
std::uint32_t StoredEntryCount(std::span<const std::uint8_t> bytes);
void StoreEntryCount(std::span<std::uint8_t> bytes, std::uint32_t count);
// One entry's record.
void SerializeResolution(const ResolutionEntry& entry, std::vector<std::uint8_t>& out);
