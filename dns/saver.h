#pragma once

#include "common/bounded_queue.h"
#include "platform/files.h"
#include "platform/wake.h"

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

// One write of learned entries to the resolution file. Tickets count the writes: a write covers every entry
// learned up to its ticket.
struct SaveJob {
    std::uint64_t ticket = 0;
    bool whole = false;              // `bytes` is the whole table, to replace the file with
    std::vector<std::uint8_t> bytes; // else one record, appended behind the last
    std::uint32_t count = 0;         // the table's entry count with that record
};

struct SaveOutcome {
    std::uint64_t ticket = 0;
    int error = 0;      // the platform's code of a failed write; the file still holds the table it held before
    bool stale = false; // not appended: the file is not the one last written, so it must be written whole
};

// The thread that writes learned entries to the file, so that the answering thread never waits for the disk.
// The answering thread writes `jobs` and reads `outcomes`; the saver thread the other way round.
struct Saver {
    explicit Saver(std::size_t capacity) : jobs(capacity), outcomes(capacity) {}

    std::string fileName;
    FileIdentity written; // the saver thread's alone: the file as it last wrote or loaded it
    WakeHandle wake;
    BoundedQueue<SaveJob> jobs;
    BoundedQueue<SaveOutcome> outcomes;
    std::thread thread;
};

// Starts the saver thread. `loaded` is the file as the table was loaded from it; appends expect to find it so.
// Every outcome signals `wake`.
void StartSaver(Saver& saver, const std::string& fileName, const FileIdentity& loaded, WakeHandle wake);

// Drops the jobs not begun, lets the one under way finish (a file is never left half-replaced), and joins.
void StopSaver(Saver& saver);
