// The Entry Editor's line handling: any input is read line by line without reading past it, and every change
// keeps the table consistent: each entry's name finds an entry of that name. Saves go to a directory that does not exist, so that no file is written.
#include "console/entry_editor.h"
#include "resolutions/resolution_table.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

// Names answer in any ASCII letter case: the first entry of a name may be spelt otherwise.
bool SameName(std::string_view a, std::string_view b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return std::ranges::equal(a, b, [&](char x, char y) { return lower(x) == lower(y); });
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::freopen("/dev/null", "w", stdout);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ResolutionTable table;
    AppendResolution(table, {"printer", {}, 0, 1});
    std::string input(reinterpret_cast<const char*>(data), size);
    std::FILE* in = fmemopen(input.data(), input.size(), "r");
    if (in == nullptr)
        return 0;
    RunEntryEditor({table, "/nonexistent/fuzz.drf", false, 2, in, std::chrono::milliseconds(0)});
    std::fclose(in);
    for (std::size_t i = 0; i < ResolutionCount(table); ++i)
        if (!SameName(FindResolution(table, ResolutionAt(table, i).name)->name, ResolutionAt(table, i).name))
            std::abort();
    return 0;
}
