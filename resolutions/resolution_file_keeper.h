#pragma once

#include "platform/files.h"
#include "resolutions/resolution_file.h"
#include "resolutions/resolution_table.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// What one operation on the file came to.
struct KeeperOutcome {
    enum class Result {
        Done,        // written, or read and found to hold what it must
        Unchanged,   // nothing to do: no name waits, or the file is still the one known
        Held,        // not written: `error` says why, or 0 while the file is still changing under someone else
        TableWanted, // the file holds no table to add to: the caller's whole table must be given (WriteWholeTable)
        Missing,     // read anew: the file is gone; nothing was written
    };
    Result result = Result::Done;
    int error = 0;
    // Someone else changed the file: the table it now holds, merged with ours, to answer from from now on.
    std::unique_ptr<ResolutionTable> table;
    std::string keptAs;     // a file that was no whole table was kept under this name before it was replaced
    bool recovered = false; // the first write that succeeded after one that could not be made
};

// How long a keeper waits for the file's lock and for a file to settle.
struct KeeperTiming {
    std::chrono::milliseconds lockWait{500};
    // A file that is no whole table is judged damaged only when it has not changed for this long: a copy in
    // progress is no damage.
    std::chrono::milliseconds settle{2000};
    // After a failed write, learned names wait this long in memory before the next try.
    std::chrono::milliseconds retry{1000};
};

// The one place where the resolution file is read, changed and written while others may change it too: the
// service's saver and the Entry Editor each own one. Every read-modify-write holds the file's lock; the keeper
// remembers the file as it last read or wrote it, so that a change by anyone else is read and merged, never
// overwritten; a file that is no whole table is kept beside it before it is replaced with the readable part of it
// and ours; learned names that cannot be written yet stay here until they can. Prints nothing.
class ResolutionFileKeeper {
public:
    using Clock = std::chrono::steady_clock;

    // `loaded`: the file as the caller's table was loaded from it.
    ResolutionFileKeeper(std::string fileName, const KnownResolutionFile& loaded, KeeperTiming timing = {});

    // Puts the names on disk with any still waiting: appended to the file when it holds the table known, else
    // merged into whatever table it holds now. Names that cannot be written stay for a later call.
    KeeperOutcome AppendLearnedNames(std::vector<LearnedName> names, Clock::time_point now);

    // The answer to TableWanted: the caller's whole table, serialized, holding every name given to the keeper
    // before it. Written with the names that come after it and the readable part of a damaged file; or, when the
    // file holds a table again by now, the names are merged into that as AppendLearnedNames does. Kept for later
    // tries until the file has taken it.
    KeeperOutcome GiveWholeTable(std::vector<std::uint8_t> table, Clock::time_point now);

    // Reads the file anew when it changed since the last look, or always when asked. A file that is no whole table
    // is left alone while it changes, and then wanted whole (TableWanted). A failure is told once, and tried again
    // at every later call.
    KeeperOutcome ReadAnew(bool asked, Clock::time_point now);

    // Names or a given table wait in memory, and the time to try writing them again has come.
    bool RetryDue(Clock::time_point now) const;

    // The editor's change: made to the table the file holds now (which then replaces `table`, merged from the
    // readable part when it is damaged) and written whole. Held, with `table` as the file holds it, when the change
    // could not be saved: then it was not made.
    KeeperOutcome ApplyChange(ResolutionTable& table, const std::function<void(ResolutionTable&)>& change,
                              Clock::time_point now);

private:
    KeeperOutcome WriteUnwritten(Clock::time_point now);
    KeeperOutcome AddUnwrittenToFileTable(ResolutionFileLoad load, Clock::time_point now);
    KeeperOutcome ReplaceWithGivenTable(const ResolutionFileLoad& load, Clock::time_point now);
    int WriteGivenTable(FileIdentity& written, std::size_t& count);
    std::optional<KeeperOutcome> AppendToKnownFile(Clock::time_point now);
    KeeperOutcome Fail(int error, Clock::time_point now);
    KeeperOutcome Written(KeeperOutcome outcome, const FileIdentity& identity, std::size_t count);
    bool Settled(const FileIdentity& identity, Clock::time_point now);
    bool StillSettling(const FileStatus& status, Clock::time_point now);
    KeeperOutcome WantTable(Clock::time_point now);
    bool AwaitingTable(Clock::time_point now) const;
    void AddUnwritten(ResolutionTable& table) const;

    const std::string fileName;
    const KeeperTiming timing;
    KnownResolutionFile known;          // the file as this keeper last read or wrote it
    FileIdentity lastLook;              // the file as ReadAnew last dealt with it
    std::vector<LearnedName> unwritten; // learned names that no write has put on disk yet
    std::vector<std::uint8_t> given;    // the caller's table, until the file has taken it
    std::size_t givenCovers = 0;        // the waiting names it holds: the first so many
    bool tableWanted = false;           // asked for the caller's whole table, not given yet
    Clock::time_point tableWantedAt;
    int failure = 0;           // why the last write could not be made; 0 after one that was
    Clock::time_point nextTry; // after a failure
    FileIdentity changing;     // a file found no whole table, unchanged since `changingSince`
    Clock::time_point changingSince;
};
