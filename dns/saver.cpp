#include "dns/saver.h"

#include "resolutions/resolution_file.h"

namespace {

SaveOutcome Save(Saver& saver, const SaveJob& job) {
    SaveOutcome outcome{job.ticket, 0, false};
    if (job.whole) {
        outcome.error = ReplaceFile(saver.fileName.c_str(), job.bytes, &saver.written);
        saver.known = outcome.error == 0;
        return outcome;
    }
    if (!saver.known) {
        outcome.stale = true;
        return outcome;
    }
    outcome.error = AppendResolutionRecord(saver.fileName.c_str(), saver.written, job.bytes, job.count);
    if (outcome.error != 0) {
        // Whatever it left behind the last record, the file is no longer the one written: the next save is whole.
        saver.known = false;
        outcome.stale = outcome.error == StaleFile;
        if (outcome.stale)
            outcome.error = 0;
    }
    return outcome;
}

void SaverThread(Saver* saver) {
    while (std::optional<SaveJob> job = saver->jobs.Pop()) {
        if (saver->outcomes.Push(Save(*saver, *job)))
            SignalWake(saver->wake);
    }
}

} // namespace

void StartSaver(Saver& saver, const char* fileName, const FileIdentity* loaded, WakeHandle wake) {
    saver.fileName = fileName;
    saver.known = loaded != nullptr;
    if (loaded != nullptr)
        saver.written = *loaded;
    saver.wake = wake;
    saver.thread = std::thread(SaverThread, &saver);
}

void StopSaver(Saver& saver) {
    saver.jobs.Close();
    if (saver.thread.joinable())
        saver.thread.join();
}
