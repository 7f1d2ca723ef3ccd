#include "resolutions/resolution_file_keeper.h"

#include "common/ipv4.h"
#include "tests/test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

using ::testing::ElementsAre;
using Result = KeeperOutcome::Result;
using namespace std::chrono_literals;

namespace {

const std::uint32_t Learned = MakeAddress(10, 0, 0, 8);

// The example table on disk, and a keeper of it as the service has one, that never waits for the lock; its clock
// is the test's.
struct Kept {
    TemporaryDirectory directory;
    std::string file = directory.File("t.drf");
    ResolutionFileKeeper::Clock::time_point now{};
    std::unique_ptr<ResolutionFileKeeper> keeper;

    Kept() {
        WriteBytes(file, ExampleFile);
        const ResolutionFileLoad load = LoadResolutionFile(file.c_str());
        keeper = std::make_unique<ResolutionFileKeeper>(
            file, KnownResolutionFile{load.identity, load.exact, ResolutionCount(*load.table)},
            KeeperTiming{0ms, 2000ms, 1000ms});
    }
    KeeperOutcome Learn(std::initializer_list<const char*> names) {
        std::vector<LearnedName> learned;
        for (const char* name : names)
            learned.push_back({name, Learned});
        return keeper->AppendLearnedNames(std::move(learned), now);
    }
    std::vector<std::string> OnDisk() const { return EntryNames(*LoadResolutionFile(file.c_str()).table); }
    FileLockResult HoldLock() const { return LockFile((file + ".lock").c_str(), 0ms); }
};

} // namespace

TEST(ResolutionFileKeeper, AppendsWaitingNamesTogetherAndKeepsThemWhileTheLockIsHeld) {
    Kept kept;
    EXPECT_EQ(kept.Learn({"one", "two"}).result, Result::Done);
    EXPECT_THAT(kept.OnDisk(), ElementsAre("printer", "files", "gateway", "one", "two"));
    // Held elsewhere: the names wait in memory, once told, and are not tried again before the pause is over.
    FileLockResult held = kept.HoldLock();
    const KeeperOutcome blocked = kept.Learn({"three"});
    EXPECT_EQ(blocked.result, Result::Held);
    EXPECT_NE(blocked.error, 0);
    EXPECT_FALSE(kept.keeper->RetryDue(kept.now + 999ms));
    EXPECT_EQ(kept.Learn({"four"}).result, Result::Held);
    UnlockFile(held.lock);
    // The next try writes both in one append, says so once, and never wanted the whole table.
    kept.now += 1000ms;
    ASSERT_TRUE(kept.keeper->RetryDue(kept.now));
    const KeeperOutcome written = kept.Learn({});
    EXPECT_EQ(written.result, Result::Done);
    EXPECT_TRUE(written.recovered);
    EXPECT_EQ(LoadResolutionFile(kept.file.c_str()).exact, true);
    EXPECT_THAT(kept.OnDisk(), ElementsAre("printer", "files", "gateway", "one", "two", "three", "four"));
    EXPECT_FALSE(kept.keeper->RetryDue(kept.now + 1h));
}

TEST(ResolutionFileKeeper, LetsACutFileSettleThenWritesItsReadablePartWithOursOnceAndAppendsAgain) {
    Kept kept;
    std::filesystem::resize_file(kept.file, 0);
    // Still changing as far as anyone knows: held, not judged.
    EXPECT_EQ(kept.Learn({"one"}).result, Result::Held);
    EXPECT_EQ(kept.keeper->ReadAnew(false, kept.now).result, Result::Held);
    kept.now += 2000ms;
    EXPECT_EQ(kept.Learn({"two"}).result, Result::TableWanted);
    // Wanted once: names learned meanwhile wait for it, and nothing is written.
    EXPECT_EQ(kept.Learn({"three"}).result, Result::Held);
    EXPECT_EQ(std::filesystem::file_size(kept.file), 0u);
    // The service's table holds every name it gave before; given while the lock is held elsewhere, it is kept,
    // and a name learned after it goes behind it once the file can be written.
    ResolutionTable ours = *ParseResolutionFile(ExampleFile).table;
    for (const char* name : {"one", "two", "three"})
        AppendResolution(ours, {name, {}, 0, Learned});
    FileLockResult held = kept.HoldLock();
    EXPECT_EQ(kept.keeper->GiveWholeTable(SerializeResolutionTable(ours), kept.now).result, Result::Held);
    EXPECT_EQ(kept.Learn({"four"}).result, Result::Held);
    UnlockFile(held.lock);
    kept.now += 1000ms;
    ASSERT_TRUE(kept.keeper->RetryDue(kept.now));
    const KeeperOutcome whole = kept.Learn({});
    EXPECT_EQ(whole.result, Result::Done);
    EXPECT_EQ(whole.table, nullptr); // nothing readable was in it: ours stands
    EXPECT_EQ(whole.keptAs, "");     // and an empty file is nothing to keep
    EXPECT_THAT(kept.OnDisk(), ElementsAre("printer", "files", "gateway", "one", "two", "three", "four"));
    // Back to appending.
    EXPECT_EQ(kept.Learn({"five"}).result, Result::Done);
    EXPECT_EQ(LoadResolutionFile(kept.file.c_str()).exact, true);

    // A file cut inside its second record: the first stays before ours, the cut file is kept.
    for (const char* name : {"four", "five"})
        AppendResolution(ours, {name, {}, 0, Learned});
    Bytes cut = ExampleFile;
    cut[4 + 4 + 2] = 'P'; // Printer: someone else's
    cut.resize(30);
    WriteBytes(kept.file, cut);
    kept.now += 10s;
    EXPECT_EQ(kept.keeper->ReadAnew(false, kept.now).result, Result::Held);
    kept.now += 2000ms;
    EXPECT_EQ(kept.keeper->ReadAnew(false, kept.now).result, Result::TableWanted);
    const KeeperOutcome merged = kept.keeper->GiveWholeTable(SerializeResolutionTable(ours), kept.now);
    EXPECT_EQ(merged.keptAs, kept.file + ".damaged");
    ASSERT_NE(merged.table, nullptr);
    EXPECT_THAT(EntryNames(*merged.table),
                ElementsAre("Printer", "files", "gateway", "one", "two", "three", "four", "five"));
    EXPECT_THAT(kept.OnDisk(), EntryNames(*merged.table));
    EXPECT_EQ(ReadBytes(kept.file + ".damaged"), cut);
}

TEST(ResolutionFileKeeper, MergesWaitingNamesIntoATableSomeoneElseWrote) {
    Kept kept;
    FileLockResult held = kept.HoldLock();
    kept.Learn({"mine"});
    UnlockFile(held.lock);
    // Their table, without our name: it stays theirs, with ours added, and is the one to answer from.
    ResolutionTable theirs;
    AppendResolution(theirs, {"theirs", {}, 0, Learned});
    ASSERT_EQ(SaveResolutionFile(theirs, kept.file.c_str()), 0);
    const KeeperOutcome read = kept.keeper->ReadAnew(false, kept.now);
    EXPECT_EQ(read.result, Result::Done);
    ASSERT_NE(read.table, nullptr);
    EXPECT_THAT(EntryNames(*read.table), ElementsAre("theirs", "mine"));
    EXPECT_THAT(kept.OnDisk(), ElementsAre("theirs", "mine"));
    EXPECT_EQ(kept.keeper->ReadAnew(false, kept.now).result, Result::Unchanged);
}

TEST(ResolutionFileKeeper, RetriesAFailedReadAndSeesAChangeThatKeptItsModificationTime) {
    Kept kept;
    // A reload that meets a held lock is tried again at the next look, not marked as seen.
    ResolutionTable theirs = *ParseResolutionFile(ExampleFile).table;
    AppendResolution(theirs, {"new", {}, 0, Learned});
    FileLockResult held = kept.HoldLock();
    ASSERT_EQ(SaveResolutionFile(theirs, kept.file.c_str()), 0);
    EXPECT_EQ(kept.keeper->ReadAnew(false, kept.now).result, Result::Held);
    UnlockFile(held.lock);
    KeeperOutcome read = kept.keeper->ReadAnew(false, kept.now);
    ASSERT_NE(read.table, nullptr);
    EXPECT_THAT(EntryNames(*read.table), ElementsAre("printer", "files", "gateway", "new"));
    // Same size, modification time put back (cp -p, touch -r): the change time tells.
    const auto modified = std::filesystem::last_write_time(kept.file);
    Bytes bytes = ReadBytes(kept.file);
    bytes[4 + 4 + 2] = 'P';
    WriteBytes(kept.file, bytes);
    std::filesystem::last_write_time(kept.file, modified);
    read = kept.keeper->ReadAnew(false, kept.now);
    ASSERT_NE(read.table, nullptr);
    EXPECT_EQ(EntryNames(*read.table)[0], "Printer");
}
