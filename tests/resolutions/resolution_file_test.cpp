#include "resolutions/resolution_file.h"

#include "common/ipv4.h"
#include "tests/test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

// Three entries: printer at 192.168.1.20, files forwarded to nas, gateway answered with the server's own address.
const std::vector<std::uint8_t> ExampleFile = {
    0x03, 0x00, 0x00, 0x00,                                     // entry count 3
    0x00, 0x00, 0x00, 0x00,                                     // kind 0
    0x07, 0x00,                                                 // name length 7
    0x70, 0x72, 0x69, 0x6E, 0x74, 0x65, 0x72,                   // "printer"
    0xC0, 0xA8, 0x01, 0x14,                                     // 192.168.1.20
    0x01, 0x00, 0x00, 0x00,                                     // kind 1
    0x05, 0x00,                                                 // name length 5
    0x66, 0x69, 0x6C, 0x65, 0x73,                               // "files"
    0x03, 0x00,                                                 // target length 3
    0x6E, 0x61, 0x73,                                           // "nas"
    0x00, 0x00, 0x00, 0x00,                                     // kind 0
    0x07, 0x00,                                                 // name length 7
    0x67, 0x61, 0x74, 0x65, 0x77, 0x61, 0x79,                   // "gateway"
    0x00, 0x00, 0x00, 0x00,                                     // address 0: Local
};

std::vector<std::uint8_t> Concatenate(std::initializer_list<std::vector<std::uint8_t>> parts) {
    std::vector<std::uint8_t> all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

} // namespace

TEST(ResolutionFile, ExampleLoadsAndSavesByteForByte) {
    TemporaryDirectory directory;
    const std::string file = directory.File("default.drf");
    WriteBytes(file, ExampleFile);
    ASSERT_EQ(ExampleFile.size(), 54u);

    ResolutionFileLoad load = LoadResolutionFile(file.c_str());
    ASSERT_EQ(load.error, 0);
    const ResolutionTable& table = *load.table;
    ASSERT_THAT(EntryNames(table), ElementsAre("printer", "files", "gateway"));
    EXPECT_EQ(table.entries[0]->kind, 0u);
    EXPECT_EQ(table.entries[0]->address, MakeAddress(192, 168, 1, 20));
    EXPECT_EQ(HostNameText(table.entries[0]->target), "");
    EXPECT_EQ(table.entries[1]->kind, 1u);
    EXPECT_EQ(HostNameText(table.entries[1]->target), "nas");
    EXPECT_EQ(table.entries[1]->address, 0u);
    EXPECT_EQ(table.entries[2]->address, 0u);
    EXPECT_EQ(FindResolution(table, "files"), table.entries[1].get());

    std::remove(file.c_str());
    ASSERT_EQ(SaveResolutionFile(table, file.c_str()), 0);
    EXPECT_THAT(ReadBytes(file), ElementsAreArray(ExampleFile));
}

TEST(ResolutionFile, EmptyAndMissingFilesGiveAnEmptyTable) {
    TemporaryDirectory directory;
    const std::string file = directory.File("new.drf");

    ResolutionFileLoad missing = LoadResolutionFile(file.c_str());
    EXPECT_EQ(missing.error, 0);
    ASSERT_NE(missing.table, nullptr);
    EXPECT_TRUE(missing.table->entries.empty());

    ASSERT_EQ(SaveResolutionFile(*missing.table, file.c_str()), 0);
    EXPECT_THAT(ReadBytes(file), ElementsAre(0x00, 0x00, 0x00, 0x00));
    EXPECT_TRUE(LoadResolutionFile(file.c_str()).table->entries.empty());

    // A zero-length file is a header cut off before its first byte: no entries either.
    WriteBytes(file, {});
    EXPECT_TRUE(LoadResolutionFile(file.c_str()).table->entries.empty());
}

TEST(ResolutionFile, UnusualRecordsRoundTrip) {
    const std::vector<std::uint8_t> bytes = {
        0x02, 0x00, 0x00, 0x00, // entry count 2
        0x02, 0x00, 0x00, 0x00, // kind 2: an address entry all the same
        0x01, 0x00,             // name length 1
        0x6B,                   // "k"
        0x0A, 0x00, 0x00, 0x01, // 10.0.0.1
        0x00, 0x00, 0x00, 0x00, // kind 0
        0x00, 0x00,             // name length 0
        0xFF, 0xFF, 0xFF, 0xFF, // 255.255.255.255
    };
    const auto table = ParseResolutionFile(bytes);
    ASSERT_EQ(table->entries.size(), 2u);
    EXPECT_EQ(table->entries[0]->kind, 2u);
    EXPECT_EQ(table->entries[0]->address, MakeAddress(10, 0, 0, 1));
    EXPECT_EQ(HostNameText(table->entries[1]->name), "");
    EXPECT_EQ(table->entries[1]->address, 0xFFFFFFFFu);
    EXPECT_THAT(SerializeResolutionTable(*table), ElementsAreArray(bytes));
}

TEST(ResolutionFile, ShortFileGivesZeroedEntriesForWhatIsMissing) {
    // Header says 2, one whole record follows: the second entry is all zero, an unnamed Local entry.
    const auto oneRecord = std::vector<std::uint8_t>(ExampleFile.begin() + 4, ExampleFile.begin() + 21);
    const auto table = ParseResolutionFile(Concatenate({{0x02, 0x00, 0x00, 0x00}, oneRecord}));
    ASSERT_THAT(EntryNames(*table), ElementsAre("printer", ""));
    EXPECT_EQ(table->entries[1]->kind, 0u);
    EXPECT_EQ(table->entries[1]->address, 0u);

    // A field cut in the middle keeps the bytes that are there; the count is capped by the bytes left.
    const auto cut = ParseResolutionFile({ExampleFile.data(), 12});
    ASSERT_THAT(EntryNames(*cut), ElementsAre("pr", ""));
}

TEST(ResolutionFile, EveryCutOfAValidFileLoadsWithoutReadingPastIt) {
    const auto whole = ParseResolutionFile(ExampleFile);
    for (std::size_t length = 0; length <= ExampleFile.size(); ++length) {
        // A copy of exactly this length, so that AddressSanitizer sees any read beyond it.
        const std::vector<std::uint8_t> cut(ExampleFile.begin(), ExampleFile.begin() + static_cast<long>(length));
        const auto table = ParseResolutionFile(cut);
        // The count's low byte alone says 3; the entries are capped by what the bytes after the header allow.
        const std::size_t expected = length == 0 ? 0 : std::min<std::size_t>(3, (std::max<std::size_t>(length, 4) - 4) / 8 + 1);
        ASSERT_EQ(table->entries.size(), expected) << "cut at " << length;
        for (std::size_t i = 0; i < table->entries.size(); ++i) {
            const std::string_view name = HostNameText(table->entries[i]->name);
            EXPECT_EQ(name, HostNameText(whole->entries[i]->name).substr(0, name.size())) << "cut at " << length;
        }
    }
}

TEST(ResolutionFile, HostileLengthsAndCountsStayBounded) {
    // A name length of 300: the first 255 bytes are kept, the rest skipped, and the next record still lines up.
    std::vector<std::uint8_t> bytes = {0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x2C, 0x01};
    bytes.insert(bytes.end(), 300, 'x');
    bytes.insert(bytes.end(), {0x02, 0x00, 0x79, 0x79, 0x02, 0x00, 0x7A, 0x7A}); // target "yy", then kind "zz"...
    bytes.insert(bytes.end(), {0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x71, 0x01, 0x02, 0x03, 0x04});
    bytes.erase(bytes.begin() + 310 + 4, bytes.begin() + 310 + 8); // drop the stray "zz" again
    const auto table = ParseResolutionFile(bytes);
    ASSERT_EQ(table->entries.size(), 2u);
    EXPECT_EQ(HostNameText(table->entries[0]->name), std::string(255, 'x'));
    EXPECT_EQ(HostNameText(table->entries[0]->target), "yy");
    EXPECT_EQ(HostNameText(table->entries[1]->name), "q");
    EXPECT_EQ(table->entries[1]->address, MakeAddress(1, 2, 3, 4));

    // A count of four thousand million in an eight-byte file costs two entries, not gigabytes.
    const auto huge = ParseResolutionFile(std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0});
    EXPECT_EQ(huge->entries.size(), 1u);
    const auto huge2 = ParseResolutionFile(std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(huge2->entries.size(), 2u);
}

TEST(ResolutionFile, UnreadableFileIsToldApartFromAMissingOne) {
    TemporaryDirectory directory;
    ResolutionFileLoad fromDirectory = LoadResolutionFile(directory.path.c_str());
    EXPECT_EQ(fromDirectory.error, EISDIR);
    ASSERT_NE(fromDirectory.table, nullptr);
    EXPECT_TRUE(fromDirectory.table->entries.empty());

}

TEST(ResolutionFile, FailedSaveReportsItsErrorAndLeavesTheOldFileWhole) {
    TemporaryDirectory directory;
    const std::string file = directory.File("default.drf");
    WriteBytes(file, ExampleFile);
    ResolutionTable table;
    AppendResolution(table, MakeAddressEntry("new", 0));

    // The target is a directory that is not empty: the rename fails after the temporary file was written.
    const std::string blocked = directory.File("blocked");
    mkdir(blocked.c_str(), 0755);
    WriteBytes(blocked + "/inside", {1});
    EXPECT_NE(SaveResolutionFile(table, blocked.c_str()), 0);

    EXPECT_EQ(SaveResolutionFile(table, directory.File("missing/dir.drf").c_str()), ENOENT);

    // A full disk, as a file-size limit that even root is held to: the write fails half-way.
    for (int i = 0; i < 10; ++i)
        AppendResolution(table, MakeAddressEntry("filler" + std::to_string(i), 0));
    rlimit original{};
    getrlimit(RLIMIT_FSIZE, &original);
    const auto previousHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit limited = original;
    limited.rlim_cur = 20;
    setrlimit(RLIMIT_FSIZE, &limited);
    const int error = SaveResolutionFile(table, file.c_str());
    setrlimit(RLIMIT_FSIZE, &original);
    signal(SIGXFSZ, previousHandler);
    EXPECT_EQ(error, EFBIG);
    EXPECT_THAT(ReadBytes(file), ElementsAreArray(ExampleFile));
}

TEST(ResolutionFile, SaveLeavesNoTemporaryFileBehind) {
    TemporaryDirectory directory;
    const std::string file = directory.File("default.drf");
    ResolutionTable table;
    AppendResolution(table, MakeForwardEntry("files", "nas"));
    ASSERT_EQ(SaveResolutionFile(table, file.c_str()), 0);
    ASSERT_EQ(SaveResolutionFile(table, file.c_str()), 0);
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& item : std::filesystem::directory_iterator(directory.path))
        ++files;
    EXPECT_EQ(files, 1u);
    EXPECT_EQ(ReadBytes(file).size(), 4u + 8u + 5u + 3u);
}
