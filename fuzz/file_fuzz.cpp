// The resolution file loader: any bytes load into a table no larger than the bytes allow, and saving that table
// and loading it again gives the same table.
#include "resolutions/resolution_file.h"

#include <cstdlib>

namespace {

void Require(bool condition) {
    if (!condition)
        std::abort();
}

bool SameEntry(const ResolutionEntry& a, const ResolutionEntry& b) {
    return a.name == b.name && a.target == b.target && a.kind == b.kind && a.address == b.address;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ParsedResolutionFile first = ParseResolutionFile({data, size});
    const ResolutionTable& table = *first.table;
    // An entry is 10 bytes and its text, and no text comes from anywhere but the file.
    Require(ResolutionCount(table) <= size / 8 + 1 && table.records.size() <= size + 10 * ResolutionCount(table));
    Require(!first.exact || first.whole);
    const std::vector<std::uint8_t> saved = SerializeResolutionTable(table);
    const ParsedResolutionFile second = ParseResolutionFile(saved);
    Require(second.exact && ResolutionCount(*second.table) == ResolutionCount(table));
    for (std::size_t i = 0; i < ResolutionCount(table); ++i)
        Require(SameEntry(ResolutionAt(table, i), ResolutionAt(*second.table, i)));
    Require(!first.exact || saved == std::vector<std::uint8_t>(data, data + size));
    return 0;
}
