#pragma once

#include "common/bounded_queue.h"
#include "platform/wake.h"
#include "resolutions/resolution_file_keeper.h"
#include "resolutions/resolution_table.h"

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <variant>
#include <vector>

// To the saver. Tickets count the learned names in the order they were learned.
struct SaveLearnedName {
    std::uint64_t ticket = 0;
    LearnedName learned;
};
// The service's whole table, serialized, for a file that holds no table to add to (after WholeTableWanted). It
// holds every name learned before it.
struct SaveWholeTable {
    std::vector<std::uint8_t> table;
};
// Read the file anew, even when it seems unchanged.
struct ReadFileAnew {};
// A table the service no longer answers from, freed here: freeing a million entries takes the answering thread
// milliseconds.
struct FreeTable {
    std::unique_ptr<ResolutionTable> table;
};
using SaverJob = std::variant<SaveLearnedName, SaveWholeTable, ReadFileAnew, FreeTable>;

// From the saver. The learned names up to the ticket are on disk, or, when the file cannot be written now, kept to
// be written later: either way their clients may be told.
struct LearnedNamesSettled {
    std::uint64_t upTo = 0;
};
// Someone else changed the file: the service answers from the table it now holds, which has every name the saver
// was given (those after them are still on their way to it).
struct FileTableChanged {
    std::unique_ptr<ResolutionTable> table;
};
// The file holds no table to add to: the service's whole table is wanted (SaveWholeTable).
struct WholeTableWanted {};
// Console lines: a failed reload, a recovery, a damaged file kept.
struct SaverNotice {
    std::string lines;
};
// The first of a run of failed writes, with its console line: the one a service manager's log is told of.
struct SaveFailed {
    std::string line;
};
using SaverReport = std::variant<LearnedNamesSettled, FileTableChanged, WholeTableWanted, SaverNotice, SaveFailed>;

// The thread that keeps the resolution file for the service: it writes learned names, so that the answering
// thread never waits for the disk, and it reads the file anew when someone else changes it. The answering thread
// writes `jobs` and reads `reports`; the saver thread the other way round; the rest is the saver thread's.
struct Saver {
    Saver(std::size_t capacity, std::string fileName, const KnownResolutionFile& loaded)
        : fileName(std::move(fileName)), keeper(this->fileName, loaded), jobs(capacity), reports(capacity) {}

    const std::string fileName;
    ResolutionFileKeeper keeper;
    std::uint64_t received = 0; // the last ticket taken
    int toldError = 0;          // the failure told last, so that it is told once
    WakeHandle wake;
    BoundedQueue<SaverJob> jobs;
    BoundedQueue<SaverReport> reports;
    std::thread thread;
};

// Starts the saver thread. Every report signals `wake`.
void StartSaver(Saver& saver, WakeHandle wake);

// Drops the jobs not begun, lets the one under way finish (a file is never left half-replaced), and joins.
void StopSaver(Saver& saver);
