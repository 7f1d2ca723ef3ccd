#pragma once

#include "common/bounded_queue.h"
#include "platform/files.h"
#include "platform/wake.h"
#include "resolutions/resolution_file.h"
#include "resolutions/resolution_table.h"

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// A name learned from the resolver, as it goes into the file.
struct LearnedName {
    std::string name;
    std::uint32_t address = 0;
};

// One write of learned names to the resolution file, or a request to read the file anew. Tickets count the
// writes: a write covers every name learned up to its ticket.
struct SaveJob {
    std::uint64_t ticket = 0;
    // `bytes` is the service's whole table of `count` entries, which replaces a file that holds no table. A file
    // that holds one keeps it and gets the learned names added instead.
    bool whole = false;
    std::vector<std::uint8_t> bytes;
    std::uint32_t count = 0;
    std::vector<LearnedName> learned; // the names the write must put on disk
    bool reload = false;              // no write: read the file anew, even when it seems unchanged
    // No write: a table the service no longer answers from, released here, since freeing a million entries
    // takes the answering thread milliseconds.
    std::unique_ptr<ResolutionTable> released;
};

struct SaveOutcome {
    enum class Reload {
        None,    // the outcome of a write
        Loaded,  // the file was read anew: `table` is what it holds
        Missing, // the file is gone; the service keeps its table
        Damaged, // the file is no whole table; the service keeps its table and the file is left alone
        Failed,  // the file could not be read: `error`
    };
    std::uint64_t ticket = 0;
    int error = 0;      // the platform's code of a failure; a failed write leaves the file as it was
    bool stale = false; // nothing written: the file holds no table to add to, so it must be written whole
    Reload reload = Reload::None;
    // The table in the file, when someone else changed the file: the service answers from it from now on, with
    // the names it learned and the file does not hold yet added.
    std::unique_ptr<ResolutionTable> table;
    std::string keptAs; // a file that was no whole table, kept under this name before it was replaced
};

// The thread that keeps the resolution file for the service: it writes learned names, so that the answering
// thread never waits for the disk, and it reads the file anew when someone else changes it. The answering thread
// writes `jobs` and reads `outcomes`; the saver thread the other way round; the rest is the saver thread's.
struct Saver {
    explicit Saver(std::size_t capacity) : jobs(capacity), outcomes(capacity) {}

    std::string fileName;
    KnownResolutionFile written;        // the file as the saver last wrote or read it
    FileIdentity seen;                  // the file as the saver last looked at it; all zero when it was missing
    std::vector<LearnedName> unwritten; // learned names that no write has put on disk yet
    WakeHandle wake;
    BoundedQueue<SaveJob> jobs;
    BoundedQueue<SaveOutcome> outcomes;
    std::thread thread;
};

// Starts the saver thread. `loaded` is the file as the table was loaded from it. Every outcome signals `wake`.
void StartSaver(Saver& saver, const std::string& fileName, const KnownResolutionFile& loaded, WakeHandle wake);

// Drops the jobs not begun, lets the one under way finish (a file is never left half-replaced), and joins.
void StopSaver(Saver& saver);
