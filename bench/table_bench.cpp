// Costs of the resolution table and its file, beside a peer: the plain layout with a linear scan and an array
// copied on every append, which is what the table would cost without its index.
#include "resolutions/resolution_file.h"
#include "resolutions/resolution_table.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

std::string NameOf(std::int64_t i) { return "host-" + std::to_string(i) + ".lan"; }

std::unique_ptr<ResolutionEntry> MakeEntry(std::int64_t i) {
    auto entry = std::make_unique<ResolutionEntry>();
    CopyHostName(entry->name, NameOf(i));
    entry->address = static_cast<std::uint32_t>(i);
    return entry;
}

std::unique_ptr<ResolutionTable> MakeTable(std::int64_t count) {
    auto table = std::make_unique<ResolutionTable>();
    for (std::int64_t i = 0; i < count; ++i)
        AppendResolution(*table, MakeEntry(i));
    return table;
}

void Sizes(benchmark::internal::Benchmark* benchmark) { benchmark->Arg(10)->Arg(10'000)->Arg(1'000'000); }

void FindIndexed(benchmark::State& state) {
    const auto table = MakeTable(state.range(0));
    std::int64_t i = 0;
    for (auto _ : state) {
        // Half hits spread over the table, half misses.
        const std::string name = (i % 2 == 0) ? NameOf((i * 7919) % state.range(0)) : "missing-" + NameOf(i);
        benchmark::DoNotOptimize(FindResolution(*table, name));
        ++i;
    }
}
BENCHMARK(FindIndexed)->Apply(Sizes);

void FindLinearPeer(benchmark::State& state) {
    const auto table = MakeTable(state.range(0));
    std::int64_t i = 0;
    for (auto _ : state) {
        const std::string name = (i % 2 == 0) ? NameOf((i * 7919) % state.range(0)) : "missing-" + NameOf(i);
        const ResolutionEntry* found = nullptr;
        for (const auto& entry : table->entries)
            if (std::strcmp(entry->name.data(), name.c_str()) == 0) {
                found = entry.get();
                break;
            }
        benchmark::DoNotOptimize(found);
        ++i;
    }
}
BENCHMARK(FindLinearPeer)->Apply(Sizes);

// Appending count entries to an empty table, per table.
void AppendIndexed(benchmark::State& state) {
    for (auto _ : state) {
        auto table = MakeTable(state.range(0));
        benchmark::DoNotOptimize(table.get());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(AppendIndexed)->Apply(Sizes)->Unit(benchmark::kMillisecond);

void AppendCopyingPeer(benchmark::State& state) {
    for (auto _ : state) {
        std::vector<std::unique_ptr<ResolutionEntry>> owned;
        ResolutionEntry** slots = nullptr;
        std::int64_t count = 0;
        for (std::int64_t i = 0; i < state.range(0); ++i) {
            owned.push_back(MakeEntry(i));
            auto** grown = new ResolutionEntry*[count + 1];
            if (count > 0)
                std::memcpy(grown, slots, sizeof(ResolutionEntry*) * count);
            grown[count++] = owned.back().get();
            delete[] slots;
            slots = grown;
        }
        benchmark::DoNotOptimize(slots);
        delete[] slots;
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
// A million appends that each copy the array would take hours.
BENCHMARK(AppendCopyingPeer)->Arg(10)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMillisecond);

std::string BenchFile() { return "/tmp/dns-bench-" + std::to_string(getpid()) + ".drf"; }

void SaveFile(benchmark::State& state) {
    const auto table = MakeTable(state.range(0));
    const std::string file = BenchFile();
    for (auto _ : state)
        if (SaveResolutionFile(*table, file.c_str()) != 0)
            state.SkipWithError("save failed");
    std::remove(file.c_str());
}
BENCHMARK(SaveFile)->Apply(Sizes)->Unit(benchmark::kMillisecond);

void LoadFile(benchmark::State& state) {
    const std::string file = BenchFile();
    if (SaveResolutionFile(*MakeTable(state.range(0)), file.c_str()) != 0)
        state.SkipWithError("save failed");
    for (auto _ : state) {
        auto load = LoadResolutionFile(file.c_str());
        benchmark::DoNotOptimize(load.table.get());
    }
    std::remove(file.c_str());
}
BENCHMARK(LoadFile)->Apply(Sizes)->Unit(benchmark::kMillisecond);

} // namespace
