#include "dns/saver.h"

#include "resolutions/resolution_file.h"

namespace {

SaveOutcome Save(Saver& saver, const SaveJob& job) {
    if (job.whole)
        return {job.ticket, SaveResolutionFile(job.bytes, saver.fileName.c_str(), &saver.written), false};
    const AppendResult appended = AppendResolutionRecord(saver.fileName.c_str(), saver.written, job.bytes, job.count);
    return {job.ticket, appended.error, appended.stale};
}

void SaverThread(Saver* saver) {
    while (std::optional<SaveJob> job = saver->jobs.Pop()) {
        if (saver->outcomes.Push(Save(*saver, *job)))
            SignalWake(saver->wake);
    }
}

} // namespace

void StartSaver(Saver& saver, const std::string& fileName, const FileIdentity& loaded, WakeHandle wake) {
    saver.fileName = fileName;
    saver.written = loaded;
    saver.wake = wake;
    saver.thread = std::thread(SaverThread, &saver);
}

void StopSaver(Saver& saver) {
    saver.jobs.Close();
    if (saver.thread.joinable())
        saver.thread.join();
}
