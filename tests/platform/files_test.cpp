#include "platform/files.h"
#include "resolutions/resolution_file.h"

#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

TEST(ReadWholeFile, RefusesWhatIsNoRegularFile) {
    TemporaryDirectory directory;
    const std::string pipe = directory.File("pipe");
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    EXPECT_EQ(ReadWholeFile("/dev/zero").error, EINVAL);  // would grow without end
    EXPECT_EQ(ReadWholeFile(pipe.c_str()).error, EINVAL); // would wait for a writer
    EXPECT_EQ(ReadWholeFile(directory.path.c_str()).error, EISDIR);
    EXPECT_TRUE(ReadWholeFile(directory.File("missing").c_str()).missing);
}

TEST(SaveResolutionFile, KeepsPermissionsAndLinks) {
    TemporaryDirectory directory;
    fs::create_directory(directory.File("real"));
    const std::string real = directory.File("real/table.drf"), link = directory.File("table.drf");
    WriteBytes(real, {1});
    chmod(real.c_str(), 0600);
    fs::create_symlink("real/table.drf", link);
    ASSERT_EQ(SaveResolutionFile(Bytes{2, 3}, link.c_str()), 0);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(ReadBytes(real), (Bytes{2, 3}));
    EXPECT_EQ(fs::status(real).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    // A link to a file that does not exist yet makes it there.
    fs::create_symlink("real/new.drf", directory.File("new.drf"));
    ASSERT_EQ(SaveResolutionFile(Bytes{4}, directory.File("new.drf").c_str()), 0);
    EXPECT_EQ(ReadBytes(directory.File("real/new.drf")), Bytes{4});
}

TEST(RemoveAbandonedTemporaryFiles, RemovesOnlyThoseOfDeadProcesses) {
    TemporaryDirectory directory;
    const pid_t dead = fork();
    if (dead == 0)
        _exit(0);
    waitpid(dead, nullptr, 0);
    const std::string abandoned = directory.File("t.drf." + std::to_string(dead) + ".tmp");
    WriteBytes(abandoned, {1});
    const std::vector<std::string> kept = {"t.drf.1.tmp", "t.drf.x1.tmp", "other.drf." + std::to_string(dead) + ".tmp",
                                           "t.drf"};
    for (const std::string& file : kept)
        WriteBytes(directory.File(file), {1});
    RemoveAbandonedTemporaryFiles(directory.File("t.drf").c_str());
    EXPECT_FALSE(fs::exists(abandoned));
    for (const std::string& file : kept)
        EXPECT_TRUE(fs::exists(directory.File(file))) << file;
}

TEST(SaveResolutionFile, AFailedSaveSaysWhyAndLeavesTheOldFileWhole) {
    TemporaryDirectory directory;
    const std::string file = directory.File("default.drf");
    WriteBytes(file, ExampleFile);
    ResolutionTable table;
    for (int i = 0; i < 10; ++i)
        AppendResolution(table, {"entry" + std::to_string(i), {}, 0, 0});
    EXPECT_EQ(SaveResolutionFile(table, directory.File("missing/dir.drf").c_str()), ENOENT);
    // A full disk, as a file-size limit that root is held to as well: the write fails half-way.
    rlimit original{};
    getrlimit(RLIMIT_FSIZE, &original);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited{20, original.rlim_max};
    setrlimit(RLIMIT_FSIZE, &limited);
    const int error = SaveResolutionFile(table, file.c_str());
    setrlimit(RLIMIT_FSIZE, &original);
    std::signal(SIGXFSZ, previousHandler);
    EXPECT_EQ(error, EFBIG);
    EXPECT_EQ(ReadBytes(file), ExampleFile);
    // Neither the failed nor a good save leaves a temporary file behind.
    ASSERT_EQ(SaveResolutionFile(table, file.c_str()), 0);
    EXPECT_EQ(std::distance(fs::directory_iterator(directory.path), {}), 1);
}
