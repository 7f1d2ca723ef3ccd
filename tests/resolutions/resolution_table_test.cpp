#include "resolutions/resolution_table.h"

#include "tests/test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::ElementsAre;

TEST(FindResolution, YieldsTheFirstEntryWithExactlyThatName) {
    ResolutionTable table;
    EXPECT_EQ(FindResolution(table, "nas"), nullptr);
    ResolutionEntry* first = AppendResolution(table, MakeAddressEntry("nas", 1));
    ResolutionEntry* unnamed = AppendResolution(table, MakeAddressEntry("", 0));
    ResolutionEntry* second = AppendResolution(table, MakeForwardEntry("nas", "files"));
    ResolutionEntry* third = AppendResolution(table, MakeAddressEntry("nas", 3));
    EXPECT_EQ(FindResolution(table, "nas"), first);
    EXPECT_EQ(FindResolution(table, ""), unnamed);
    for (const char* other : {"Nas", "nas.", "na"})
        EXPECT_EQ(FindResolution(table, other), nullptr) << other;

    // Removing a later duplicate keeps the first; removing the first hands over to the next in table order.
    EXPECT_EQ(RemoveResolution(table, third).get(), third);
    EXPECT_EQ(FindResolution(table, "nas"), first);
    EXPECT_EQ(RemoveResolution(table, first).get(), first);
    EXPECT_EQ(FindResolution(table, "nas"), second);
    EXPECT_NE(RemoveResolution(table, second), nullptr);
    EXPECT_EQ(FindResolution(table, "nas"), nullptr);
    EXPECT_EQ(FindResolution(table, ""), unnamed);
}

TEST(RemoveResolution, ClosesTheGapAndIgnoresStrangers) {
    ResolutionTable table;
    auto stranger = MakeAddressEntry("one", 0);
    EXPECT_EQ(RemoveResolution(table, stranger.get()), nullptr);
    AppendResolution(table, MakeAddressEntry("zero", 0));
    ResolutionEntry* one = AppendResolution(table, MakeAddressEntry("one", 0));
    AppendResolution(table, MakeAddressEntry("two", 0));
    EXPECT_EQ(RemoveResolution(table, stranger.get()), nullptr); // same name, other entry
    EXPECT_EQ(RemoveResolution(table, one).get(), one);
    EXPECT_THAT(EntryNames(table), ElementsAre("zero", "two"));

    while (!table.entries.empty())
        RemoveResolution(table, table.entries.front().get());
    EXPECT_TRUE(table.firstByName.empty());
    ResolutionEntry* later = AppendResolution(table, MakeAddressEntry("one", 0));
    EXPECT_EQ(FindResolution(table, "one"), later);
}
