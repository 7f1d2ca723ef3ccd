#include "dns/saver.h"

#include "common/messages.h"
#include "platform/files.h"

#include <chrono>
#include <optional>
#include <utility>

namespace {

using Clock = ResolutionFileKeeper::Clock;
using Result = KeeperOutcome::Result;

// How often the file is looked at for changes by someone else, and a held-back write tried again: a stat, nothing
// more unless it changed, so that a replaced table is answered from within a few tenths of a second.
constexpr auto CheckInterval = std::chrono::milliseconds(50);

void Report(Saver& saver, SaverReport report) {
    if (saver.reports.Push(std::move(report)))
        SignalWake(saver.wake);
}

// Tells the service what an operation on the file came to. A failure is told once, however often it is met
// again, and so is the write that ends it.
void Tell(Saver& saver, KeeperOutcome outcome, bool reading) {
    const char* fileName = saver.fileName.c_str();
    std::string lines;
    if (!outcome.keptAs.empty())
        lines += KeptDamagedLine(fileName, outcome.keptAs);
    switch (outcome.result) {
    case Result::Held:
        if (outcome.error != 0 && outcome.error != saver.toldError) {
            saver.toldError = outcome.error;
            if (reading)
                lines += ReloadErrorLine(fileName, ErrorText(outcome.error));
            else
                Report(saver,
                       SaveFailed{SaveErrorLine(fileName, ErrorText(outcome.error) + std::string(LearnedNamesKept))});
        }
        break;
    case Result::Missing:
        lines += ReloadErrorLine(fileName, "the file is missing");
        break;
    case Result::TableWanted:
        Report(saver, WholeTableWanted{});
        break;
    case Result::Done:
        if (outcome.recovered)
            lines += SavedAgainLine(fileName);
        saver.toldError = 0;
        break;
    case Result::Unchanged:
        break;
    }
    if (outcome.table)
        Report(saver, FileTableChanged{std::move(outcome.table)});
    if (!lines.empty())
        Report(saver, SaverNotice{std::move(lines)});
}

void SaverThread(Saver* saver) {
    ResolutionFileKeeper& keeper = saver->keeper;
    std::vector<SaverJob> batch;
    std::uint64_t settled = 0;
    for (;;) {
        std::optional<SaverJob> job = saver->jobs.PopFor(CheckInterval);
        if (!job && saver->jobs.IsClosed())
            break;
        // Every job waiting now, so that the names learned meanwhile share one write and one flush.
        batch.clear();
        if (job) {
            batch.push_back(std::move(*job));
            saver->jobs.TakeAll(batch);
        }
        std::vector<LearnedName> names;
        bool asked = false;
        const auto now = Clock::now();
        for (SaverJob& each : batch) {
            if (auto* learned = std::get_if<SaveLearnedName>(&each)) {
                names.push_back(std::move(learned->learned));
                saver->received = learned->ticket;
            } else if (auto* whole = std::get_if<SaveWholeTable>(&each)) {
                // The table holds the names before it, and only those.
                if (!names.empty())
                    Tell(*saver, keeper.AppendLearnedNames(std::move(names), now), false);
                names.clear();
                Tell(*saver, keeper.GiveWholeTable(std::move(whole->table), now), false);
            } else if (std::holds_alternative<ReadFileAnew>(each)) {
                asked = true;
            }
        }
        batch.clear(); // tables to free go here
        if (!names.empty() || keeper.RetryDue(now))
            Tell(*saver, keeper.AppendLearnedNames(std::move(names), now), false);
        if (saver->received != settled) {
            settled = saver->received;
            Report(*saver, LearnedNamesSettled{settled});
        }
        Tell(*saver, keeper.ReadAnew(asked, now), true);
    }
    // One last try for names still only in memory, before the service ends.
    const auto late = Clock::now() + std::chrono::hours(1);
    if (keeper.RetryDue(late))
        keeper.AppendLearnedNames({}, late);
}

} // namespace

void StartSaver(Saver& saver, WakeHandle wake) {
    saver.wake = wake;
    saver.thread = std::thread(SaverThread, &saver);
}

void StopSaver(Saver& saver) {
    saver.jobs.Close();
    if (saver.thread.joinable())
        saver.thread.join();
}
