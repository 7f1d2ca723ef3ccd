#include "resolutions/resolution_file_keeper.h"

#include <optional>
#include <utility>

namespace {

using Result = KeeperOutcome::Result;

// Holds the file's lock for one read-modify-write.
class HeldLock {
public:
    HeldLock(const std::string& fileName, std::chrono::milliseconds wait)
        : taken(LockResolutionFile(fileName.c_str(), wait)) {}
    ~HeldLock() { UnlockFile(taken.lock); }
    HeldLock(const HeldLock&) = delete;
    HeldLock& operator=(const HeldLock&) = delete;
    int Error() const { return taken.error; }

private:
    FileLockResult taken;
};

KeeperOutcome Outcome(Result result, int error = 0) {
    KeeperOutcome outcome;
    outcome.result = result;
    outcome.error = error;
    return outcome;
}

KeeperOutcome Held(int error) { return Outcome(Result::Held, error); }

// The readable part of a file that is no whole table (the entries read in full), and behind it every entry of
// ours whose name it lacks: nothing that either side holds is lost.
std::unique_ptr<ResolutionTable> MergeReadablePart(const ResolutionFileLoad& load, const ResolutionTable& ours) {
    auto merged = std::make_unique<ResolutionTable>();
    ResolutionTable readable;
    for (std::size_t i = 0; i < load.complete; ++i)
        AppendResolution(readable, ResolutionAt(*load.table, i));
    *merged = readable;
    for (std::size_t i = 0; i < ResolutionCount(ours); ++i) {
        const ResolutionEntry entry = ResolutionAt(ours, i);
        if (!FindResolution(readable, entry.name))
            AppendResolution(*merged, entry);
    }
    return merged;
}

} // namespace

ResolutionFileKeeper::ResolutionFileKeeper(std::string fileName, const KnownResolutionFile& loaded, KeeperTiming timing)
    : fileName(std::move(fileName)), timing(timing), known(loaded), lastLook(loaded.identity) {}

void ResolutionFileKeeper::AddUnwritten(ResolutionTable& table) const {
    for (const LearnedName& learned : unwritten)
        if (!FindResolution(table, learned.name))
            AppendResolution(table, {learned.name, {}, 0, learned.address});
}

KeeperOutcome ResolutionFileKeeper::Fail(int error, Clock::time_point now) {
    failure = error;
    nextTry = now + timing.retry;
    return Held(error);
}

KeeperOutcome ResolutionFileKeeper::Written(KeeperOutcome outcome, const FileIdentity& identity, std::size_t count) {
    known = {identity, true, count};
    lastLook = identity;
    unwritten.clear();
    given = {};
    tableWanted = false;
    outcome.result = Result::Done;
    outcome.recovered = failure != 0;
    failure = 0;
    return outcome;
}

// A file already found no whole table, and unchanged since, is not read again before it has settled.
bool ResolutionFileKeeper::StillSettling(const FileStatus& status, Clock::time_point now) {
    return !status.missing && status.identity == changing && !Settled(status.identity, now);
}

bool ResolutionFileKeeper::Settled(const FileIdentity& identity, Clock::time_point now) {
    if (!(identity == changing)) {
        changing = identity;
        changingSince = now;
    }
    return now - changingSince >= timing.settle;
}

// The caller's table is asked for once; until it comes, what waits stays held. A request that went astray is
// made again after a while.
KeeperOutcome ResolutionFileKeeper::WantTable(Clock::time_point now) {
    if (AwaitingTable(now))
        return Held(failure);
    tableWanted = true;
    tableWantedAt = now;
    return Outcome(Result::TableWanted);
}

bool ResolutionFileKeeper::AwaitingTable(Clock::time_point now) const {
    return tableWanted && now - tableWantedAt < 5 * timing.retry;
}

bool ResolutionFileKeeper::RetryDue(Clock::time_point now) const {
    return (!unwritten.empty() || !given.empty()) && !AwaitingTable(now) && now >= nextTry;
}

KeeperOutcome ResolutionFileKeeper::AppendLearnedNames(std::vector<LearnedName> names, Clock::time_point now) {
    for (LearnedName& learned : names)
        unwritten.push_back(std::move(learned));
    if (unwritten.empty() && given.empty())
        return Outcome(Result::Unchanged);
    // While the caller's table is on its way, or until the pause after a failure is over, the names wait here: a
    // blocked lock or disk costs each name one wait at most, not one each.
    if (AwaitingTable(now) || now < nextTry)
        return Held(failure);
    return WriteUnwritten(now);
}

KeeperOutcome ResolutionFileKeeper::GiveWholeTable(std::vector<std::uint8_t> table, Clock::time_point now) {
    given = std::move(table);
    givenCovers = unwritten.size();
    tableWanted = false;
    return WriteUnwritten(now);
}

// The common case, costing the same with ten entries or a million: the file is still the table last written, and
// every waiting name goes behind it in one write. Nothing when the file turns out to need reading instead.
std::optional<KeeperOutcome> ResolutionFileKeeper::AppendToKnownFile(Clock::time_point now) {
    std::vector<std::uint8_t> records;
    for (const LearnedName& learned : unwritten)
        SerializeResolution({learned.name, {}, 0, learned.address}, records);
    const std::size_t count = known.count + unwritten.size();
    FileIdentity identity = known.identity;
    const AppendResult result =
        AppendResolutionRecords(fileName.c_str(), identity, records, static_cast<std::uint32_t>(count));
    if (result.error == 0 && !result.stale && !result.disturbed)
        return Written({}, identity, count);
    // Bytes may have gone behind the table, or someone else is rewriting it: either way it is read next.
    known.exact = false;
    if (result.error != 0)
        return Fail(result.error, now);
    return std::nullopt;
}

// The given table as it is, with the names that waited since it was given behind it: for a file that is gone or
// holds nothing readable. Written from the bytes the caller serialized, with no copy of the table.
int ResolutionFileKeeper::WriteGivenTable(FileIdentity& written, std::size_t& count) {
    const std::size_t size = given.size();
    const std::uint32_t stored = StoredEntryCount(given);
    for (std::size_t i = givenCovers; i < unwritten.size(); ++i)
        SerializeResolution({unwritten[i].name, {}, 0, unwritten[i].address}, given);
    count = stored + (unwritten.size() - givenCovers);
    StoreEntryCount(given, static_cast<std::uint32_t>(count));
    const int error = SaveResolutionFile(given, fileName.c_str(), &written);
    // Kept as given for the next try.
    given.resize(size);
    StoreEntryCount(given, stored);
    return error;
}

KeeperOutcome ResolutionFileKeeper::WriteUnwritten(Clock::time_point now) {
    const HeldLock lock(fileName, timing.lockWait);
    if (lock.Error() != 0)
        return Fail(lock.Error(), now);
    const FileStatus status = IdentifyFile(fileName.c_str());
    if (status.error != 0)
        return Fail(status.error, now);
    if (given.empty() && !status.missing && known.exact && status.identity == known.identity)
        if (std::optional<KeeperOutcome> appended = AppendToKnownFile(now))
            return std::move(*appended);
    if (StillSettling(status, now)) {
        nextTry = now;
        return Held(0);
    }
    ResolutionFileLoad load = LoadResolutionFile(fileName.c_str());
    if (load.error != 0)
        return Fail(load.error, now);
    if (load.whole)
        return AddUnwrittenToFileTable(std::move(load), now);
    if (!load.missing && !Settled(load.identity, now)) {
        nextTry = now;
        return Held(0);
    }
    if (given.empty())
        return WantTable(now);
    return ReplaceWithGivenTable(load, now);
}

// A table, someone else's or ours with a crash's remnant behind it: it stays, with our names added.
KeeperOutcome ResolutionFileKeeper::AddUnwrittenToFileTable(ResolutionFileLoad load, Clock::time_point now) {
    const bool theirs = !(load.identity == known.identity);
    std::unique_ptr<ResolutionTable> table = std::move(load.table);
    const std::size_t before = ResolutionCount(*table);
    AddUnwritten(*table);
    FileIdentity written = load.identity;
    if (!load.exact || ResolutionCount(*table) != before)
        if (const int error = SaveResolutionFile(*table, fileName.c_str(), &written); error != 0)
            return Fail(error, now);
    KeeperOutcome outcome = Written({}, written, ResolutionCount(*table));
    if (theirs)
        outcome.table = std::move(table);
    return outcome;
}

// A file that is gone, or that has settled as no whole table and is kept beside it first: replaced with the given
// table and the names waiting, behind what can be read of it.
KeeperOutcome ResolutionFileKeeper::ReplaceWithGivenTable(const ResolutionFileLoad& load, Clock::time_point now) {
    KeeperOutcome outcome;
    if (!load.missing) {
        const KeptFile kept = KeepDamagedResolutionFile(fileName.c_str(), load.bytes);
        if (kept.error != 0)
            return Fail(kept.error, now);
        outcome.keptAs = kept.name;
    }
    FileIdentity written;
    std::size_t count = 0;
    int error = 0;
    std::unique_ptr<ResolutionTable> table;
    if (load.complete == 0) {
        error = WriteGivenTable(written, count);
    } else {
        // What can be read of the file comes first, and stays with whoever wrote it.
        table = MergeReadablePart(load, *ParseResolutionFile(given).table);
        AddUnwritten(*table);
        count = ResolutionCount(*table);
        error = SaveResolutionFile(*table, fileName.c_str(), &written);
    }
    if (error != 0) {
        KeeperOutcome failed = Fail(error, now);
        failed.keptAs = outcome.keptAs;
        return failed;
    }
    outcome = Written(std::move(outcome), written, count);
    outcome.table = std::move(table);
    return outcome;
}

KeeperOutcome ResolutionFileKeeper::ReadAnew(bool asked, Clock::time_point now) {
    const FileStatus status = IdentifyFile(fileName.c_str());
    if (status.error != 0)
        return Held(status.error);
    if (!asked && (status.identity == lastLook || (!status.missing && status.identity == known.identity))) {
        lastLook = status.identity;
        return Outcome(Result::Unchanged);
    }
    if (StillSettling(status, now))
        return Held(0);
    // Another process may be half-way through an append, whose new record is not counted yet.
    const HeldLock lock(fileName, timing.lockWait);
    if (lock.Error() != 0)
        return Held(lock.Error());
    ResolutionFileLoad load = LoadResolutionFile(fileName.c_str());
    if (load.error != 0)
        return Held(load.error);
    if (load.missing) {
        lastLook = {};
        return Outcome(Result::Missing);
    }
    if (!load.whole) {
        if (!Settled(load.identity, now))
            return Held(0);
        lastLook = load.identity;
        return WantTable(now);
    }
    lastLook = load.identity;
    KeeperOutcome outcome;
    outcome.table = std::move(load.table);
    const std::size_t before = ResolutionCount(*outcome.table);
    AddUnwritten(*outcome.table);
    if (ResolutionCount(*outcome.table) == before) {
        known = {load.identity, load.exact, before};
        unwritten.clear();
        return outcome;
    }
    // Names still waiting for the disk go into the table the file now holds.
    FileIdentity written;
    if (const int error = SaveResolutionFile(*outcome.table, fileName.c_str(), &written); error != 0) {
        KeeperOutcome failed = Fail(error, now);
        failed.table = std::move(outcome.table);
        return failed;
    }
    const std::size_t count = ResolutionCount(*outcome.table); // before the outcome moves
    return Written(std::move(outcome), written, count);
}

KeeperOutcome ResolutionFileKeeper::ApplyChange(ResolutionTable& table,
                                                const std::function<void(ResolutionTable&)>& change,
                                                Clock::time_point now) {
    const HeldLock lock(fileName, timing.lockWait);
    if (lock.Error() != 0)
        return Held(lock.Error());
    const FileStatus status = IdentifyFile(fileName.c_str());
    if (status.error != 0)
        return Held(status.error);
    KeeperOutcome outcome;
    // The table the change is made to: the file's, when someone else changed it since.
    std::unique_ptr<ResolutionTable> file;
    if (status.missing || !known.exact || !(status.identity == known.identity)) {
        ResolutionFileLoad load = LoadResolutionFile(fileName.c_str());
        if (load.error != 0)
            return Held(load.error);
        if (load.whole) {
            file = std::move(load.table);
        } else if (!load.missing) {
            if (!Settled(load.identity, now))
                return Held(0);
            const KeptFile kept = KeepDamagedResolutionFile(fileName.c_str(), load.bytes);
            if (kept.error != 0)
                return Held(kept.error);
            outcome.keptAs = kept.name;
            file = MergeReadablePart(load, table);
        }
    }
    ResolutionTable changed = file ? *file : table;
    change(changed);
    FileIdentity written;
    if (const int error = SaveResolutionFile(changed, fileName.c_str(), &written); error != 0) {
        if (file)
            table = std::move(*file);
        outcome.result = Result::Held;
        outcome.error = error;
        return outcome;
    }
    table = std::move(changed);
    return Written(std::move(outcome), written, ResolutionCount(table));
}
