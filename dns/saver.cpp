#include "dns/saver.h"

#include <chrono>
#include <optional>
#include <utility>

namespace {

// How often the file is looked at for changes by someone else: a stat, nothing more unless it changed, so a
// change is answered well within a second.
constexpr auto CheckInterval = std::chrono::milliseconds(250);

// Holds the file's lock for one read-modify-write.
struct HeldLock {
    FileLockResult taken;
    explicit HeldLock(const std::string& fileName) : taken(LockResolutionFile(fileName.c_str())) {}
    ~HeldLock() { UnlockFile(taken.lock); }
    HeldLock(const HeldLock&) = delete;
    HeldLock& operator=(const HeldLock&) = delete;
};

// The learned names behind the last record of a file that is still the one written, each counted once on disk.
int Append(Saver& saver) {
    while (!saver.unwritten.empty()) {
        std::vector<std::uint8_t> record;
        const LearnedName& learned = saver.unwritten.front();
        SerializeResolution({learned.name, {}, 0, learned.address}, record);
        const auto count = static_cast<std::uint32_t>(saver.written.count + 1);
        const AppendResult appended =
            AppendResolutionRecord(saver.fileName.c_str(), saver.written.identity, record, count);
        if (appended.error != 0 || appended.stale)
            return appended.error;
        saver.written.count = count;
        saver.unwritten.erase(saver.unwritten.begin());
    }
    return 0;
}

SaveOutcome Save(Saver& saver, SaveJob& job) {
    for (LearnedName& learned : job.learned)
        saver.unwritten.push_back(std::move(learned));
    SaveOutcome outcome;
    outcome.ticket = job.ticket;
    const HeldLock lock(saver.fileName);
    if (lock.taken.error != 0) {
        outcome.error = lock.taken.error;
        return outcome;
    }
    const FileStatus status = IdentifyFile(saver.fileName.c_str());
    if (status.error != 0) {
        outcome.error = status.error;
        return outcome;
    }
    // The common case, costing the same with ten entries or a million: the file is still the table we wrote.
    if (!job.whole && !status.missing && status.identity == saver.written.identity && saver.written.exact) {
        outcome.error = Append(saver);
        saver.seen = saver.written.identity;
        if (saver.unwritten.empty() || outcome.error != 0)
            return outcome;
    }
    ResolutionFileLoad load = LoadResolutionFile(saver.fileName.c_str());
    saver.seen = load.identity;
    if (load.error != 0) {
        outcome.error = load.error;
        return outcome;
    }
    if (load.whole) {
        // A table, ours with a crash's remnant behind it or someone else's: it stays, with our names added.
        const bool theirs = !(load.identity == saver.written.identity);
        saver.written = {load.identity, load.exact, ResolutionCount(*load.table)};
        for (const LearnedName& learned : saver.unwritten)
            if (!FindResolution(*load.table, learned.name))
                AppendResolution(*load.table, {learned.name, {}, 0, learned.address});
        FileIdentity identity;
        outcome.error = SaveResolutionFile(*load.table, saver.fileName.c_str(), &identity);
        if (outcome.error == 0) {
            saver.written = {identity, true, ResolutionCount(*load.table)};
            saver.seen = identity;
            saver.unwritten.clear();
        }
        if (theirs)
            outcome.table = std::move(load.table);
        return outcome;
    }
    // Missing, or no table of ours: only the service's whole table may replace it, and a damaged file is kept
    // first.
    if (!job.whole) {
        outcome.stale = true;
        return outcome;
    }
    if (!load.missing) {
        const KeptFile kept = KeepDamagedResolutionFile(saver.fileName.c_str(), load.bytes);
        if (kept.error != 0) {
            outcome.error = kept.error;
            return outcome;
        }
        outcome.keptAs = kept.name;
    }
    FileIdentity identity;
    outcome.error = SaveResolutionFile(job.bytes, saver.fileName.c_str(), &identity);
    if (outcome.error == 0) {
        saver.written = {identity, true, job.count};
        saver.seen = identity;
        saver.unwritten.clear();
    }
    return outcome;
}

// Reads the file anew: asked for, or because it is no longer the file last seen. Nothing when nothing changed.
std::optional<SaveOutcome> Reload(Saver& saver, bool asked) {
    const FileStatus status = IdentifyFile(saver.fileName.c_str());
    if (!asked && (status.error != 0 || status.identity == saver.seen))
        return std::nullopt;
    // Told once for each change, not at every look.
    saver.seen = status.identity;
    SaveOutcome outcome;
    ResolutionFileLoad load;
    {
        // Another process may be half-way through an append, whose new record is not counted yet.
        const HeldLock lock(saver.fileName);
        if (lock.taken.error != 0) {
            outcome.reload = SaveOutcome::Reload::Failed;
            outcome.error = lock.taken.error;
            return outcome;
        }
        load = LoadResolutionFile(saver.fileName.c_str());
    }
    if (load.error != 0) {
        outcome.reload = SaveOutcome::Reload::Failed;
        outcome.error = load.error;
    } else if (load.missing) {
        outcome.reload = SaveOutcome::Reload::Missing;
    } else if (!load.whole) {
        outcome.reload = SaveOutcome::Reload::Damaged;
    } else {
        outcome.reload = SaveOutcome::Reload::Loaded;
        saver.seen = load.identity;
        saver.written = {load.identity, load.exact, ResolutionCount(*load.table)};
        outcome.table = std::move(load.table);
    }
    return outcome;
}

void SaverThread(Saver* saver) {
    for (;;) {
        std::optional<SaveJob> job = saver->jobs.PopFor(CheckInterval);
        if (!job && saver->jobs.IsClosed())
            return;
        if (job && job->released)
            continue;
        std::optional<SaveOutcome> outcome = !job          ? Reload(*saver, false)
                                             : job->reload ? Reload(*saver, true)
                                                           : Save(*saver, *job);
        if (outcome && saver->outcomes.Push(std::move(*outcome)))
            SignalWake(saver->wake);
    }
}

} // namespace

void StartSaver(Saver& saver, const std::string& fileName, const KnownResolutionFile& loaded, WakeHandle wake) {
    saver.fileName = fileName;
    saver.written = loaded;
    saver.seen = loaded.identity;
    saver.wake = wake;
    saver.thread = std::thread(SaverThread, &saver);
}

void StopSaver(Saver& saver) {
    saver.jobs.Close();
    if (saver.thread.joinable())
        saver.thread.join();
}
