// In-process costs of the answer path and the resolution file, for tables of 10, 10,000 and 1,000,000 entries.
#include "common/ipv4.h"
#include "dns/answer_message.h"
#include "dns/query_answer.h"
#include "resolutions/resolution_file.h"
#include "resolutions/resolution_table.h"

#include <benchmark/benchmark.h>

#include <array>
#include <random>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace {

std::string NameOf(std::int64_t i) { return "host-" + std::to_string(i) + ".lan"; }

std::unique_ptr<ResolutionTable> MakeTable(std::int64_t count) {
    auto table = std::make_unique<ResolutionTable>();
    for (std::int64_t i = 0; i < count; ++i)
        AppendResolution(*table, {NameOf(i), {}, 0, static_cast<std::uint32_t>(i)});
    return table;
}

void Sizes(benchmark::internal::Benchmark* benchmark) { benchmark->Arg(10)->Arg(10'000)->Arg(1'000'000); }

// Half hits spread over the table, half misses.
void Find(benchmark::State& state) {
    const auto table = MakeTable(state.range(0));
    std::int64_t i = 0;
    for (auto _ : state) {
        const std::string name = (i % 2 == 0) ? NameOf((i * 7919) % state.range(0)) : "missing-" + NameOf(i);
        benchmark::DoNotOptimize(FindResolution(*table, name));
        ++i;
    }
}
BENCHMARK(Find)->Apply(Sizes);

// The server's way: batches of 32 names from all over the table, each batch readied at once (the second argument
// 1) or not (0).
void FindInBatches(benchmark::State& state) {
    const auto table = MakeTable(state.range(0));
    std::vector<std::string> names;
    std::mt19937 random(1);
    for (std::int64_t i = 0; i < 200'000; ++i)
        names.push_back(NameOf(static_cast<std::int64_t>(random() % static_cast<std::uint64_t>(state.range(0)))));
    std::array<std::string_view, 32> batch;
    std::size_t next = 0;
    for (auto _ : state) {
        for (std::string_view& name : batch)
            name = names[next++ % names.size()];
        if (state.range(1) != 0)
            PrefetchResolutions(*table, batch);
        for (const std::string_view name : batch)
            benchmark::DoNotOptimize(FindResolution(*table, name));
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(batch.size()));
}
BENCHMARK(FindInBatches)->ArgsProduct({{10'000, 1'000'000}, {0, 1}});

// A datagram in, its answer and console line out.
void AnswerFromTheTable(benchmark::State& state) {
    const auto table = MakeTable(state.range(0));
    const LocalAddressList addresses{{MakeAddress(127, 0, 0, 1)}, MakeAddress(127, 0, 0, 1)};
    std::vector<std::vector<std::uint8_t>> datagrams;
    for (std::int64_t i = 0; i < 1024; ++i) {
        const std::string name = "host-" + std::to_string((i * 7919) % state.range(0));
        std::vector<std::uint8_t> datagram = {0x12, 0x34, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0};
        datagram.push_back(static_cast<std::uint8_t>(name.size()));
        datagram.insert(datagram.end(), name.begin(), name.end());
        datagram.insert(datagram.end(), {3, 'l', 'a', 'n', 0, 0, 1, 0, 1});
        datagrams.push_back(std::move(datagram));
    }
    std::array<std::uint8_t, 512> answer{};
    std::string console;
    std::size_t i = 0;
    for (auto _ : state) {
        QueryNames names;
        const Query query = ReadDatagram(datagrams[i++ % datagrams.size()], names).query;
        const TableAnswer found = AnswerFromTable(*table, addresses, {}, query.exactName, MakeAddress(127, 0, 0, 1));
        benchmark::DoNotOptimize(WriteAnswer(answer, query,
                                             {NoError, Answer::Record::Address, found.address, {}, false, 60},
                                             LongestReply(query.edns, false)));
        AppendQueryLine(console, MakeAddress(127, 0, 0, 1), query.name, query.type, DottedAddress(found.address).data(),
                        false);
        if (console.size() > 65536)
            console.clear();
    }
}
BENCHMARK(AnswerFromTheTable)->Apply(Sizes);

void AppendWholeTable(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(MakeTable(state.range(0)));
}
BENCHMARK(AppendWholeTable)->Arg(10'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

std::string TemporaryFile() { return "/tmp/table-bench-" + std::to_string(getpid()) + ".drf"; }

void Save(benchmark::State& state) {
    const auto table = MakeTable(state.range(0));
    const std::string file = TemporaryFile();
    for (auto _ : state)
        benchmark::DoNotOptimize(SaveResolutionFile(*table, file.c_str()));
    unlink(file.c_str());
}
BENCHMARK(Save)->Apply(Sizes)->Unit(benchmark::kMillisecond)->UseRealTime();

void Load(benchmark::State& state) {
    const auto table = MakeTable(state.range(0));
    const std::string file = TemporaryFile();
    if (SaveResolutionFile(*table, file.c_str()) != 0)
        state.SkipWithError("could not write the file");
    for (auto _ : state)
        benchmark::DoNotOptimize(LoadResolutionFile(file.c_str()));
    unlink(file.c_str());
}
BENCHMARK(Load)->Apply(Sizes)->Unit(benchmark::kMillisecond);

// One learned entry appended to a file of the size: the same cost at every size.
void AppendLearned(benchmark::State& state) {
    auto table = MakeTable(state.range(0));
    const std::string file = TemporaryFile();
    FileIdentity written;
    if (SaveResolutionFile(*table, file.c_str(), &written) != 0)
        state.SkipWithError("could not write the file");
    std::int64_t i = 0;
    for (auto _ : state) {
        std::vector<std::uint8_t> record;
        SerializeResolution(ResolutionAt(*table, AppendResolution(*table, {"learned-" + NameOf(i++), {}, 0, 1})),
                            record);
        benchmark::DoNotOptimize(AppendResolutionRecords(file.c_str(), written, record,
                                                         static_cast<std::uint32_t>(ResolutionCount(*table))));
    }
    unlink(file.c_str());
}
BENCHMARK(AppendLearned)->Apply(Sizes)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
