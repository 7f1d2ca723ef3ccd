#include "resolutions/resolution_file.h"

#include "common/ipv4.h"
#include "tests/test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

Bytes Cut(const Bytes& bytes, std::size_t length) { return {bytes.begin(), bytes.begin() + static_cast<long>(length)}; }

} // namespace

TEST(ResolutionFile, LoadsAndSavesTheFormatByteForByte) {
    TemporaryDirectory directory;
    const std::string file = directory.File("default.drf");
    WriteBytes(file, ExampleFile);
    const ResolutionFileLoad load = LoadResolutionFile(file.c_str());
    ASSERT_EQ(load.error, 0);
    EXPECT_TRUE(load.exact);
    const ResolutionTable& table = *load.table;
    ASSERT_THAT(EntryNames(table), ElementsAre("printer", "files", "gateway"));
    EXPECT_EQ(ResolutionAt(table, 0).address, MakeAddress(192, 168, 1, 20));
    EXPECT_EQ(ResolutionAt(table, 1).kind, ForwardKind);
    EXPECT_EQ(ResolutionAt(table, 1).target, "nas");
    EXPECT_EQ(FindResolution(table, "files")->target, "nas");

    std::filesystem::remove(file);
    ASSERT_EQ(SaveResolutionFile(table, file.c_str()), 0);
    EXPECT_THAT(ReadBytes(file), ElementsAreArray(ExampleFile));

    // An empty table is four zero bytes; kind 2 is an address entry and stays 2; an empty name takes no bytes.
    EXPECT_THAT(SerializeResolutionTable(ResolutionTable{}), ElementsAre(0x00, 0x00, 0x00, 0x00));
    const Bytes unusual = {0x02, 0x00, 0x00, 0x00, // entry count
                           0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 'k',  0x0A, 0x00, 0x00, 0x01,
                           0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF};
    const auto parsed = ParseResolutionFile(unusual);
    EXPECT_EQ(ResolutionAt(*parsed.table, 0).address, MakeAddress(10, 0, 0, 1));
    EXPECT_THAT(SerializeResolutionTable(*parsed.table), ElementsAreArray(unusual));
}

TEST(ResolutionFile, ShortFilesLoadWhatTheyHoldAndZeroTheRest) {
    // The header says 2, one whole record follows: the second entry is all zero, an unnamed Local entry.
    Bytes oneRecord = Cut(ExampleFile, 21);
    oneRecord[0] = 2;
    const auto parsed = ParseResolutionFile(oneRecord);
    ASSERT_THAT(EntryNames(*parsed.table), ElementsAre("printer", ""));
    EXPECT_EQ(ResolutionAt(*parsed.table, 1).address, 0u);
    EXPECT_FALSE(parsed.exact);

    // Every cut: never read past the end (a copy of exactly that length, for AddressSanitizer), and names keep
    // the bytes that are there. Only the whole file is exact.
    const std::vector<std::string> names = {"printer", "files", "gateway"};
    for (std::size_t length = 0; length <= ExampleFile.size(); ++length) {
        const auto cut = ParseResolutionFile(Cut(ExampleFile, length));
        EXPECT_EQ(cut.exact, length == ExampleFile.size()) << "cut at " << length;
        for (std::size_t i = 0; i < ResolutionCount(*cut.table); ++i)
            EXPECT_TRUE(names[i].starts_with(ResolutionAt(*cut.table, i).name)) << "cut at " << length;
    }
    // Stray bytes behind the last counted record, as a crash between an append's two writes leaves them.
    Bytes stray = ExampleFile;
    stray.insert(stray.end(), {0x00, 0x00, 0x00, 0x00, 0x01});
    EXPECT_EQ(ResolutionCount(*ParseResolutionFile(stray).table), 3u);
    EXPECT_FALSE(ParseResolutionFile(stray).exact);
}

TEST(ResolutionFile, HostileLengthsAndCountsStayBounded) {
    // A target length of 300: the first 255 bytes are kept, the rest skipped, and the next record still lines up.
    Bytes bytes = {0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 'f', 0x2C, 0x01};
    bytes.insert(bytes.end(), 300, 'x');
    bytes.insert(bytes.end(), {0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 'q', 0x01, 0x02, 0x03, 0x04});
    const auto parsed = ParseResolutionFile(bytes);
    ASSERT_THAT(EntryNames(*parsed.table), ElementsAre("f", "q"));
    EXPECT_EQ(ResolutionAt(*parsed.table, 0).target, std::string(255, 'x'));
    EXPECT_EQ(ResolutionAt(*parsed.table, 1).address, MakeAddress(1, 2, 3, 4));
    EXPECT_FALSE(parsed.exact);

    // A count of four thousand million costs no more entries than the bytes behind it could hold.
    EXPECT_LE(ResolutionCount(*ParseResolutionFile(Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}).table), 1u);
    EXPECT_LE(ResolutionCount(*ParseResolutionFile(Bytes(4 + 80, 0xFF)).table), 11u);
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
        ASSERT_EQ(AppendResolutionRecord(file.c_str(), expected, record, ResolutionCount(table)), 0);
    }
    EXPECT_THAT(ReadBytes(file), ElementsAreArray(SerializeResolutionTable(table)));

    // A file replaced or grown by someone else is not appended to.
    FileIdentity before = expected;
    WriteBytes(file, ExampleFile);
    EXPECT_EQ(AppendResolutionRecord(file.c_str(), expected, Bytes{1}, 6), StaleFile);
    EXPECT_THAT(ReadBytes(file), ElementsAreArray(ExampleFile));
    EXPECT_EQ(expected, before);
    std::filesystem::remove(file);
    EXPECT_EQ(AppendResolutionRecord(file.c_str(), expected, Bytes{1}, 6), StaleFile);
}
