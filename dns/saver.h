#pragma once

#include "common/bounded_queue.h"
#include "dns/thread_messages.h"
#include "platform/wake.h"
#include "resolutions/resolution_file_keeper.h"
#include "resolutions/resolution_table.h"

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <variant>
#include <vector>

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
