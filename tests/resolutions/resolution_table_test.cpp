#include "resolutions/resolution_table.h"

#include "common/ipv4.h"
#include "tests/test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::ElementsAre;

TEST(FindResolution, ComparesNamesByteForByte) {
    ResolutionTable table;
    EXPECT_EQ(FindResolution(table, "printer"), nullptr);

    ResolutionEntry* printer = AppendResolution(table, MakeAddressEntry("printer", MakeAddress(10, 0, 0, 1)));
    ResolutionEntry* unnamed = AppendResolution(table, MakeAddressEntry("", 0));

    EXPECT_EQ(FindResolution(table, "printer"), printer);
    EXPECT_EQ(FindResolution(table, "Printer"), nullptr);
    EXPECT_EQ(FindResolution(table, "printer."), nullptr);
    EXPECT_EQ(FindResolution(table, "print"), nullptr);
    EXPECT_EQ(FindResolution(table, ""), unnamed);
}

TEST(FindResolution, YieldsTheFirstOfSeveralEntriesWithOneName) {
    ResolutionTable table;
    ResolutionEntry* first = AppendResolution(table, MakeAddressEntry("nas", MakeAddress(10, 0, 0, 1)));
    AppendResolution(table, MakeAddressEntry("other", 0));
    ResolutionEntry* second = AppendResolution(table, MakeForwardEntry("nas", "files"));
    ResolutionEntry* third = AppendResolution(table, MakeAddressEntry("nas", MakeAddress(10, 0, 0, 3)));
    EXPECT_EQ(FindResolution(table, "nas"), first);

    // Removing a later duplicate keeps the first; removing the first hands over to the next in table order.
    EXPECT_NE(RemoveResolution(table, third), nullptr);
    EXPECT_EQ(FindResolution(table, "nas"), first);
    EXPECT_NE(RemoveResolution(table, first), nullptr);
    EXPECT_EQ(FindResolution(table, "nas"), second);
    EXPECT_NE(RemoveResolution(table, second), nullptr);
    EXPECT_EQ(FindResolution(table, "nas"), nullptr);

    // An entry appended after all copies left is found again.
    ResolutionEntry* again = AppendResolution(table, MakeAddressEntry("nas", 0));
    EXPECT_EQ(FindResolution(table, "nas"), again);
}

TEST(AppendResolution, PutsTheEntryLastWithoutMovingIt) {
    ResolutionTable table;
    auto owned = MakeAddressEntry("a", 0);
    ResolutionEntry* const made = owned.get();
    EXPECT_EQ(AppendResolution(table, std::move(owned)), made);
    for (int i = 0; i < 1000; ++i)
        AppendResolution(table, MakeAddressEntry("n" + std::to_string(i), 0));
    EXPECT_EQ(table.entries.size(), 1001u);
    EXPECT_EQ(table.entries[0].get(), made);
    EXPECT_EQ(HostNameText(table.entries[1000]->name), "n999");
    EXPECT_EQ(FindResolution(table, "a"), made);
    EXPECT_EQ(FindResolution(table, "n500"), table.entries[501].get());
}

TEST(RemoveResolution, ClosesTheGapAndHandsTheEntryBack) {
    ResolutionTable table;
    AppendResolution(table, MakeAddressEntry("zero", 0));
    ResolutionEntry* one = AppendResolution(table, MakeAddressEntry("one", 0));
    AppendResolution(table, MakeAddressEntry("two", 0));

    std::unique_ptr<ResolutionEntry> removed = RemoveResolution(table, one);
    EXPECT_EQ(removed.get(), one);
    EXPECT_THAT(EntryNames(table), ElementsAre("zero", "two"));
    EXPECT_EQ(FindResolution(table, "one"), nullptr);
    EXPECT_EQ(FindResolution(table, "two"), table.entries[1].get());
}

TEST(RemoveResolution, IgnoresAnEntryThatIsNotInTheTable) {
    ResolutionTable table;
    auto stranger = MakeAddressEntry("zero", 0);
    EXPECT_EQ(RemoveResolution(table, stranger.get()), nullptr);

    ResolutionEntry* zero = AppendResolution(table, MakeAddressEntry("zero", 0));
    // Same name, other entry: matched by identity only.
    EXPECT_EQ(RemoveResolution(table, stranger.get()), nullptr);
    EXPECT_EQ(FindResolution(table, "zero"), zero);

    EXPECT_NE(RemoveResolution(table, zero), nullptr);
    EXPECT_TRUE(table.entries.empty());
    EXPECT_TRUE(table.firstByName.empty());
    AppendResolution(table, MakeAddressEntry("later", 0));
    EXPECT_THAT(EntryNames(table), ElementsAre("later"));
}
