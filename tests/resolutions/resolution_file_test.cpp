#include "resolutions/resolution_file.h"

#include "common/ipv4.h"
#include "tests/test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

TEST(ResolutionFile, ParsesAndSerializesTheFormatByteForByte) {
    const ParsedResolutionFile parsed = ParseResolutionFile(ExampleFile);
    EXPECT_TRUE(parsed.exact);
    ASSERT_THAT(EntryNames(*parsed.table), ElementsAre("printer", "files", "gateway"));
    EXPECT_EQ(ResolutionAt(*parsed.table, 0).address, MakeAddress(192, 168, 1, 20));
    EXPECT_EQ(FindResolution(*parsed.table, "files")->kind, ForwardKind);
    EXPECT_EQ(FindResolution(*parsed.table, "files")->target, "nas");
    EXPECT_THAT(SerializeResolutionTable(*parsed.table), ElementsAreArray(ExampleFile));
    // Kind 2 is an address entry and stays 2; an empty name takes no bytes.
    const Bytes unusual = {0x02, 0x00, 0x00, 0x00, // entry count
                           0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 'k',  0x0A, 0x00, 0x00, 0x01,
                           0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_THAT(SerializeResolutionTable(*ParseResolutionFile(unusual).table), ElementsAreArray(unusual));
}

TEST(ResolutionFile, ShortOrHostileFilesLoadWhatTheyHoldAndStayBounded) {
    // Every cut: never read past the end (a copy of exactly that length, for AddressSanitizer), names keep the
    // bytes that are there, counted entries beyond the bytes are all zero (unnamed Local). Only the whole is exact.
    const std::vector<std::string> names = {"printer", "files", "gateway"};
    for (std::size_t length = 0; length <= ExampleFile.size(); ++length) {
        const auto cut = ParseResolutionFile(Bytes(ExampleFile.begin(), ExampleFile.begin() + long(length)));
        EXPECT_EQ(cut.exact, length == ExampleFile.size()) << length;
        EXPECT_EQ(cut.whole, cut.exact) << length;
        for (std::size_t i = 0; i < ResolutionCount(*cut.table); ++i)
            EXPECT_TRUE(names[i].starts_with(ResolutionAt(*cut.table, i).name)) << length;
    }
    EXPECT_THAT(EntryNames(*ParseResolutionFile(Bytes(ExampleFile.begin(), ExampleFile.begin() + 21)).table),
                ElementsAre("printer", "", ""));
    // Stray bytes behind the last counted record, as a crash between an append's two writes leaves them.
    Bytes stray = ExampleFile;
    stray.insert(stray.end(), {0x00, 0x00, 0x00, 0x00, 0x01});
    EXPECT_EQ(ResolutionCount(*ParseResolutionFile(stray).table), 3u);
    EXPECT_FALSE(ParseResolutionFile(stray).exact);
    EXPECT_TRUE(ParseResolutionFile(stray).whole);
    // More than one record's worth behind the table, or text where the count should be, is no table of ours.
    stray.insert(stray.end(), ExampleFile.begin() + 4, ExampleFile.end());
    EXPECT_FALSE(ParseResolutionFile(stray).whole);
    EXPECT_FALSE(ParseResolutionFile(Bytes{'1', '2', '7', '.', '0', ' ', 'x', '\n'}).whole);

    // A target length of 300: the first 255 bytes are kept, the rest skipped, and the next record still lines up.
    Bytes bytes = {0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 'f', 0x2C, 0x01};
    bytes.insert(bytes.end(), 300, 'x');
    bytes.insert(bytes.end(), {0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 'q', 0x01, 0x02, 0x03, 0x04});
    const auto parsed = ParseResolutionFile(bytes);
    ASSERT_THAT(EntryNames(*parsed.table), ElementsAre("f", "q"));
    EXPECT_EQ(ResolutionAt(*parsed.table, 0).target, std::string(255, 'x'));
    EXPECT_EQ(ResolutionAt(*parsed.table, 1).address, MakeAddress(1, 2, 3, 4));
    // A count of four thousand million costs no more entries than there are bytes behind it.
    EXPECT_EQ(ResolutionCount(*ParseResolutionFile(Bytes(4 + 80, 0xFF)).table), 80u / 8 + 1);
}

TEST(AppendResolutionRecord, GrowsTheFileAsAWholeSaveWouldAndOnlyTheFileItWrote) {
    TemporaryDirectory directory;
    const std::string file = directory.File("default.drf");
    WriteBytes(file, ExampleFile);
    ResolutionFileLoad load = LoadResolutionFile(file.c_str());
    ResolutionTable& table = *load.table;
    FileIdentity expected = load.identity;
    for (const char* name : {"one", "two"}) {
        Bytes record;
        SerializeResolution(ResolutionAt(table, AppendResolution(table, {name, {}, 0, 5})), record);
        const AppendResult appended = AppendResolutionRecord(file.c_str(), expected, record, ResolutionCount(table));
        ASSERT_TRUE(appended.error == 0 && !appended.stale);
    }
    EXPECT_THAT(ReadBytes(file), ElementsAreArray(SerializeResolutionTable(table)));
    // A file replaced or grown by someone else, or gone, is not appended to.
    const FileIdentity before = expected;
    WriteBytes(file, ExampleFile);
    EXPECT_TRUE(AppendResolutionRecord(file.c_str(), expected, Bytes{1}, 6).stale);
    EXPECT_THAT(ReadBytes(file), ElementsAreArray(ExampleFile));
    EXPECT_EQ(expected, before);
    std::filesystem::remove(file);
    EXPECT_TRUE(AppendResolutionRecord(file.c_str(), expected, Bytes{1}, 6).stale);
}

TEST(KeepDamagedResolutionFile, NeverWritesOverACopyKeptBefore) {
    TemporaryDirectory directory;
    const std::string file = directory.File("t.drf");
    EXPECT_EQ(KeepDamagedResolutionFile(file.c_str(), Bytes{1}).name, file + ".damaged");
    EXPECT_EQ(KeepDamagedResolutionFile(file.c_str(), Bytes{2}).name, file + ".damaged.2");
    EXPECT_EQ(KeepDamagedResolutionFile(file.c_str(), Bytes{}).name, "");
    EXPECT_EQ(ReadBytes(file + ".damaged"), Bytes{1});
    EXPECT_EQ(ReadBytes(file + ".damaged.2"), Bytes{2});
}
