#include "resolutions/resolution_table.h"

#include "tests/test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::ElementsAre;

namespace {

std::optional<std::uint32_t> FoundAddress(const ResolutionTable& table, std::string_view name) {
    const auto found = FindResolution(table, name);
    return found ? std::optional(found->address) : std::nullopt;
}

} // namespace

TEST(FindResolution, YieldsTheFirstEntryWithThatNameInAnyLetterCaseAsEntriesComeAndGo) {
    ResolutionTable table;
    for (const ResolutionEntry& entry :
         {ResolutionEntry{"nas", {}, 0, 1}, ResolutionEntry{"", {}, 0, 2},
          ResolutionEntry{"NAS", "files", ForwardKind, 0}, ResolutionEntry{"nas", {}, 0, 3},
          ResolutionEntry{"Long-Name.Example.LAN\xC1", {}, 0, 4}, ResolutionEntry{"x@[", {}, 0, 5}})
        AppendResolution(table, entry);
    EXPECT_EQ(FoundAddress(table, "nAs"), 1u);
    EXPECT_EQ(FoundAddress(table, ""), 2u);
    // ASCII letters only: '@' and '[' beside them, and bytes above 0x7F, are compared as they are.
    EXPECT_EQ(FoundAddress(table, "long-name.example.lan\xC1"), 4u);
    EXPECT_EQ(FoundAddress(table, "X@["), 5u);
    for (const char* other : {"nas.", "na", "long-name.example.lan\xE1", "x`{"})
        EXPECT_EQ(FindResolution(table, other), std::nullopt) << other;
    EXPECT_TRUE(RemoveResolution(table, 5));
    EXPECT_TRUE(RemoveResolution(table, 4));
    // Removing a later duplicate keeps the first; removing the first hands over to the next in table order.
    EXPECT_TRUE(RemoveResolution(table, 3));
    EXPECT_EQ(FoundAddress(table, "nas"), 1u);
    EXPECT_TRUE(RemoveResolution(table, 0));
    EXPECT_EQ(FindResolution(table, "Nas")->target, "files");
    EXPECT_TRUE(RemoveResolution(table, 1));
    EXPECT_FALSE(RemoveResolution(table, 1));
    EXPECT_EQ(FindResolution(table, "nas"), std::nullopt);
    EXPECT_THAT(EntryNames(table), ElementsAre(""));
}

TEST(AppendResolution, KeepsEveryEntryFindableAsTheTableGrows) {
    ResolutionTable table;
    const std::string longName(300, 'n');
    AppendResolution(table, {longName, longName, ForwardKind, 9});
    EXPECT_EQ(ResolutionAt(table, 0).name, longName.substr(0, 255));
    EXPECT_EQ(ResolutionAt(table, 0).target.size(), 255u);
    EXPECT_EQ(ResolutionAt(table, 0).address, 0u); // a forward entry has no address
    for (std::uint32_t i = 1; i < 2000; ++i)
        EXPECT_EQ(AppendResolution(table, {"host-" + std::to_string(i), {}, 0, i}), i);
    // Many at once, across the growth of the index and within one batch, keep the first of a name too.
    std::vector<std::string> names;
    for (std::uint32_t i = 2000; i < 5000; ++i)
        names.push_back("host-" + std::to_string(i));
    std::vector<ResolutionEntry> batch;
    for (std::uint32_t i = 2000; i < 5000; ++i)
        batch.push_back({names[i - 2000], {}, 0, i});
    batch.push_back({"HOST-2500", {}, 0, 1}); // later: shadowed
    AppendResolutions(table, std::span(batch).first(1000));
    AppendResolutions(table, std::span(batch).subspan(1000));
    EXPECT_EQ(ResolutionCount(table), 5001u);
    // Removal renumbers: the entry behind the removed one moves up.
    EXPECT_TRUE(RemoveResolution(table, 10));
    EXPECT_EQ(ResolutionAt(table, 10).name, "host-11");
    EXPECT_EQ(FindResolution(table, "host-10"), std::nullopt);
    for (std::uint32_t i = 11; i < 5000; ++i)
        EXPECT_EQ(FoundAddress(table, "host-" + std::to_string(i)), i);
}
