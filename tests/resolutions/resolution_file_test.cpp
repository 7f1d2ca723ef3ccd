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
    const auto cut = ParseResolutionFile(Bytes(ExampleFile.begin(), ExampleFile.begin() + 21));
    EXPECT_THAT(EntryNames(*cut.table), ElementsAre("printer", "", ""));
    EXPECT_EQ(cut.complete, 1u); // the readable part
    EXPECT_EQ(ParseResolutionFile(ExampleFile).complete, 3u);
    // Learned records behind the last counted one, the last cut short, as a crash between an append's two writes
    // leaves them: the counted table, not exact, but whole.
    Bytes stray = ExampleFile;
    const Bytes learned = {0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 'n', 0x0A, 0x00, 0x00, 0x01};
    stray.insert(stray.end(), learned.begin(), learned.end());
    stray.insert(stray.end(), learned.begin(), learned.begin() + 5);
    EXPECT_EQ(ResolutionCount(*ParseResolutionFile(stray).table), 3u);
    EXPECT_FALSE(ParseResolutionFile(stray).exact);
    EXPECT_TRUE(ParseResolutionFile(stray).whole);
    // Anything else behind the table (a forward record is never learned), or text where the count should be, is
    // no table of ours.
    stray.insert(stray.end() - 5, ExampleFile.begin() + 21, ExampleFile.begin() + 37);
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

TEST(AppendResolutionRecords, GrowsTheFileAsAWholeSaveWouldAndOnlyTheFileItWrote) {
    TemporaryDirectory directory;
    const std::string file = directory.File("default.drf");
    WriteBytes(file, ExampleFile);
    ResolutionFileLoad load = LoadResolutionFile(file.c_str());
    ResolutionTable& table = *load.table;
    FileIdentity expected = load.identity;
    Bytes records;
    for (const char* name : {"one", "two"})
        SerializeResolution(ResolutionAt(table, AppendResolution(table, {name, {}, 0, 5})), records);
    const AppendResult appended = AppendResolutionRecords(file.c_str(), expected, records, ResolutionCount(table));
    ASSERT_TRUE(appended.error == 0 && !appended.stale && !appended.disturbed);
    EXPECT_THAT(ReadBytes(file), ElementsAreArray(SerializeResolutionTable(table)));
    EXPECT_EQ(expected, IdentifyFile(file.c_str()).identity);
    // A file replaced or grown by someone else, or gone, is not appended to.
    const FileIdentity before = expected;
    WriteBytes(file, ExampleFile);
    EXPECT_TRUE(AppendResolutionRecords(file.c_str(), expected, Bytes{1}, 6).stale);
    EXPECT_THAT(ReadBytes(file), ElementsAreArray(ExampleFile));
    EXPECT_EQ(expected, before);
    std::filesystem::remove(file);
    EXPECT_TRUE(AppendResolutionRecords(file.c_str(), expected, Bytes{1}, 6).stale);
}

TEST(KeepDamagedResolutionFile, KeepsTheTenNewestCopiesAndNeverRefusesANewOne) {
    TemporaryDirectory directory;
    const std::string file = directory.File("t.drf");
    EXPECT_EQ(KeepDamagedResolutionFile(file.c_str(), Bytes{}).name, "");
    const auto now = std::filesystem::file_time_type::clock::now();
    for (std::uint8_t copy = 1; copy <= 10; ++copy) {
        std::string name = file + ".damaged";
        if (copy > 1)
            name.append(1, '.').append(std::to_string(copy));
        EXPECT_EQ(KeepDamagedResolutionFile(file.c_str(), Bytes{copy}).name, name);
        // The fourth is the oldest.
        std::filesystem::last_write_time(name, now - std::chrono::hours(copy == 4 ? 20 : 10 - copy));
    }
    EXPECT_EQ(KeepDamagedResolutionFile(file.c_str(), Bytes{11}).name, file + ".damaged.4");
    EXPECT_EQ(ReadBytes(file + ".damaged.4"), Bytes{11});
    EXPECT_EQ(ReadBytes(file + ".damaged"), Bytes{1});
    EXPECT_EQ(ReadBytes(file + ".damaged.10"), Bytes{10});
}
