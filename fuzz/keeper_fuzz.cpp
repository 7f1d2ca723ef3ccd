// The table file's keeper under a sequence of events: learned names, others adding to the file in place or by
// rename, cuts, the lock held by someone else, time passing, reloads. Whenever the keeper says it wrote, and once
// everything is quiet at the end, the file must be a whole table holding every learned name a client was told.
#include "resolutions/resolution_file_keeper.h"

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using Result = KeeperOutcome::Result;

void Require(bool condition) {
    if (!condition)
        std::abort();
}

struct Run {
    std::string file;
    ResolutionTable service; // the table the service answers from
    std::set<std::string> told;
    ResolutionFileKeeper::Clock::time_point now = ResolutionFileKeeper::Clock::now();
    std::unique_ptr<ResolutionFileKeeper> keeper;

    // On disk exactly, with every name told.
    void RequireEveryNameTold() const {
        const ResolutionFileLoad load = LoadResolutionFile(file.c_str());
        Require(load.exact);
        for (const std::string& name : told)
            Require(FindResolution(*load.table, name).has_value());
    }
    // What the service does with an outcome; a wanted table is given at once.
    void Take(KeeperOutcome outcome) {
        if (outcome.table)
            service = *outcome.table;
        if (outcome.result == Result::TableWanted)
            outcome = keeper->GiveWholeTable(SerializeResolutionTable(service), now);
        if (outcome.table)
            service = *outcome.table;
        if (outcome.result == Result::Done)
            RequireEveryNameTold();
    }
};

// Where fsync costs nothing, when the machine has it.
std::string WorkDirectory() {
    const std::filesystem::path base = std::filesystem::exists("/dev/shm") ? "/dev/shm" : "/tmp";
    return (base / ("keeper-fuzz-" + std::to_string(getpid()))).string();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string directory = WorkDirectory();
    std::filesystem::remove_all(directory);
    std::filesystem::create_directory(directory);
    Run run;
    run.file = directory + "/t.drf";
    AppendResolution(run.service, {"printer", {}, 0, 0x0100000Au});
    AppendResolution(run.service, {"files", "nas", ForwardKind, 0});
    Require(SaveResolutionFile(run.service, run.file.c_str()) == 0);
    const ResolutionFileLoad loaded = LoadResolutionFile(run.file.c_str());
    run.keeper = std::make_unique<ResolutionFileKeeper>(
        run.file, KnownResolutionFile{loaded.identity, loaded.exact, ResolutionCount(*loaded.table)},
        KeeperTiming{0ms, 2000ms, 1000ms});
    FileLock held;
    int names = 0;
    for (std::size_t i = 0; i + 1 < size && i < 128; i += 2) {
        const std::uint8_t argument = data[i + 1];
        switch (data[i] % 8) {
        case 0:
        case 1: {
            const std::string name = "n" + std::to_string(++names);
            AppendResolution(run.service, {name, {}, 0, 0x0200000Au});
            run.told.insert(name); // Done, Held or wanted: either way its client is told
            run.Take(run.keeper->AppendLearnedNames({{name, 0x0200000Au}}, run.now));
            break;
        }
        case 2: { // someone else adds an entry, in place or by a rename
            ResolutionFileLoad load = LoadResolutionFile(run.file.c_str());
            if (!load.whole)
                break;
            AppendResolution(*load.table, {"f" + std::to_string(i), {}, 0, 0x0300000Au});
            const std::vector<std::uint8_t> bytes = SerializeResolutionTable(*load.table);
            if (argument & 1) {
                Require(SaveResolutionFile(bytes, run.file.c_str()) == 0);
            } else {
                std::FILE* out = std::fopen(run.file.c_str(), "wb");
                std::fwrite(bytes.data(), 1, bytes.size(), out);
                std::fclose(out);
            }
            break;
        }
        case 3: // cut
            if (std::filesystem::exists(run.file))
                std::filesystem::resize_file(run.file,
                                             std::min<std::uintmax_t>(argument, std::filesystem::file_size(run.file)));
            break;
        case 4: // the lock taken or given back by someone else
            if (held.value >= 0) {
                UnlockFile(held);
                held = {};
            } else {
                held = LockFile((run.file + ".lock").c_str(), 0ms).lock;
            }
            break;
        case 5:
            run.now += argument * 20ms;
            break;
        case 6:
            run.Take(run.keeper->ReadAnew(argument & 1, run.now));
            break;
        case 7:
            if (run.keeper->RetryDue(run.now))
                run.Take(run.keeper->AppendLearnedNames({}, run.now));
            break;
        }
    }
    // Quiet: the lock free and time enough for anything to settle and be retried.
    UnlockFile(held);
    for (int round = 0; round < 3; ++round) {
        run.now += 3s;
        run.Take(run.keeper->ReadAnew(true, run.now));
        run.Take(run.keeper->AppendLearnedNames({}, run.now));
    }
    run.RequireEveryNameTold();
    return 0;
}
