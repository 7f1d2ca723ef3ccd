// The Windows side of the seam, run under Wine, where the portable tests do not reach: names outside the ANSI code
// page and near the path limit, a save while others hold the file, abandoned temporary files, the receive woken,
// and what the service manager is told. The whole program under Wine answers through the rest of it.
#include "common/ipv4.h"
#include "platform/file_lock.h"
#include "platform/files.h"
#include "platform/network.h"
#include "platform/udp_socket.h"
#include "platform/wake.h"
#include "platform/windows/log_file.h"
#include "platform/windows/service_sid.h"
#include "platform/windows/service_status.h"
#include "resolutions/resolution_file.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>

TEST(WindowsFiles, SavesAndLoadsNamesOutsideTheCodePageAndNearThePathLimit) {
    TemporaryDirectory directory;
    // Near the limit: the table's path fits in MAX_PATH, its FILE.PID.tmp does not.
    // The temporary folder's path is some 50 characters long.
    std::filesystem::path deep = directory.path;
    for (int level = 0; level < 3; ++level)
        deep /= std::string(60, 'd');
    std::filesystem::create_directories(deep);
    const std::size_t folderSize = deep.string().size();
    ASSERT_LT(folderSize, 240u);
    const std::string longName = (deep / std::string(250 - folderSize, 't')).string() + ".drf";
    const struct {
        std::string file;
        std::wstring shown; // as the system lists it
    } tables[] = {{directory.File("\xc5\x81\xc3\xb3"
                                  "d\xc5\xba.drf"),
                   L"\u0141\u00f3d\u017a.drf"},
                  {directory.File("\xe6\x97\xa5\xe6\x9c\xac.drf"), L"\u65e5\u672c.drf"},
                  {longName, std::wstring(250 - folderSize, L't') + L".drf"}};
    for (const auto& table : tables) {
        ASSERT_EQ(SaveResolutionFile(ExampleFile, table.file.c_str()), 0);
        ASSERT_EQ(SaveResolutionFile(ExampleFile, table.file.c_str()), 0); // over the old one
        const ResolutionFileLoad load = LoadResolutionFile(table.file.c_str());
        EXPECT_EQ(load.error, 0);
        EXPECT_EQ(EntryNames(*load.table).size(), 3u);
        // Seen as missing, the table would be reloaded at every look, and a save made without its changes.
        const FileStatus status = IdentifyFile(table.file.c_str());
        EXPECT_FALSE(status.missing);
        EXPECT_EQ(status.identity, load.identity);
        const FileLockResult lock = LockFile((table.file + ".lock").c_str(), std::chrono::milliseconds(0));
        EXPECT_EQ(lock.error, 0);
        UnlockFile(lock.lock);
        EXPECT_TRUE(WriteNewFile((table.file + ".lock").c_str(), {}).exists);
        RemoveAbandonedTemporaryFiles(table.file.c_str());
        const std::filesystem::path folder = std::filesystem::path(table.file).parent_path();
        std::vector<std::wstring> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            if (entry.is_regular_file())
                names.push_back(entry.path().filename().wstring());
        EXPECT_NE(std::find(names.begin(), names.end(), table.shown), names.end());
        EXPECT_NE(std::find(names.begin(), names.end(), table.shown + L".lock"), names.end());
        // The old table's backup is gone with the save.
        EXPECT_EQ(
            std::count_if(names.begin(), names.end(), [](const std::wstring& name) { return name.ends_with(L".old"); }),
            0);
    }
}

TEST(WindowsFiles, LocksALockFileThatIsOursToReadOnly) {
    TemporaryDirectory directory;
    const std::string lockFile = directory.File("\xc5\x81\xc3\xb3"
                                                "d\xc5\xba.drf.lock");
    ASSERT_EQ(WriteNewFile(lockFile.c_str(), {}).error, 0);
    // An administrator's lock file, as a service under an account of its own sees it.
    const std::filesystem::path path = std::u8string(lockFile.begin(), lockFile.end());
    std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::group_read |
                                           std::filesystem::perms::others_read);
    const FileLockResult first = LockFile(lockFile.c_str(), std::chrono::milliseconds(0));
    EXPECT_EQ(first.error, 0);
    EXPECT_NE(LockFile(lockFile.c_str(), std::chrono::milliseconds(20)).error, 0); // still held
    UnlockFile(first.lock);
    const FileLockResult again = LockFile(lockFile.c_str(), std::chrono::milliseconds(0));
    EXPECT_EQ(again.error, 0);
    UnlockFile(again.lock);
    std::filesystem::permissions(path, std::filesystem::perms::owner_write, std::filesystem::perm_options::add);
}

TEST(WindowsFiles, ASaveWaitsForAReaderThatHoldsTheFileAMoment) {
    TemporaryDirectory directory;
    const std::string file = directory.File("table.drf");
    ASSERT_EQ(SaveResolutionFile(ExampleFile, file.c_str()), 0);
    // The C library opens without FILE_SHARE_DELETE, as scanners and backup tools often do.
    auto reader = std::make_unique<std::ifstream>(file, std::ios::binary);
    ASSERT_TRUE(reader->is_open());
    std::thread release([&reader] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        reader.reset();
    });
    EXPECT_EQ(SaveResolutionFile(Bytes{0, 0, 0, 0}, file.c_str()), 0);
    release.join();
    EXPECT_EQ(ReadBytes(file), (Bytes{0, 0, 0, 0}));
}

TEST(WindowsFiles, RemovesTemporaryFilesOfProcessesLongGone) {
    TemporaryDirectory directory;
    const std::string file = directory.File("table.drf");
    EXPECT_TRUE(ReadWholeFile(file.c_str()).missing);
    EXPECT_NE(ReadWholeFile(directory.path.c_str()).error, 0); // a folder is no table
    WriteBytes(file + ".4000000.tmp", {1});
    ASSERT_EQ(SaveResolutionFile(Bytes{0, 0, 0, 0}, file.c_str()), 0);
    RemoveAbandonedTemporaryFiles(file.c_str());
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory.path), {}), 1);
}

// What the service loop relies on: a wake-up ends a waiting receive with nothing and no error, and is used up by
// it, so that the next receive waits for a datagram again.
TEST(WindowsSockets, AWakeUpEndsOneWaitOfTheReceive) {
    StartNetwork();
    const SocketResult server = CreateUdpSocket();
    const SocketResult client = CreateUdpSocket();
    ASSERT_EQ(server.error, 0);
    ASSERT_EQ(client.error, 0);
    const std::uint32_t loopback = ParseAddress("127.0.0.1");
    std::uint16_t port = 40053;
    while (port < 40153 && BindSocket(server.handle, loopback, port) != 0)
        ++port;
    const WakeResult wake = CreateWake();
    ASSERT_EQ(wake.error, 0);
    const Bytes query = MakeQuery(7, {"nas"});
    std::thread other([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        SignalWake(wake.handle);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        OutgoingDatagram datagram{query, {loopback, PortNumber(port)}}; // PortNumber swaps the bytes as htons does
        SendDatagrams(client.handle, std::span(&datagram, 1));
    });
    std::array<DatagramBuffer, 4> buffers{};
    std::array<ReceivedDatagram, 4> received{};
    const auto start = std::chrono::steady_clock::now();
    const ReceiveResult woken =
        ReceiveDatagrams(server.handle, std::span(&wake.handle, 1), buffers, received, WaitForever);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
    EXPECT_EQ(woken.count, 0u);
    EXPECT_EQ(woken.error, 0);
    const ReceiveResult got =
        ReceiveDatagrams(server.handle, std::span(&wake.handle, 1), buffers, received, WaitForever);
    other.join();
    EXPECT_EQ(got.count, 1u);
    EXPECT_EQ(got.error, 0);
    EXPECT_EQ(received[0].size, query.size());
    CloseWake(wake.handle);
    CloseSocket(client.handle);
    CloseSocket(server.handle);
    StopNetwork();
}

TEST(NextServiceStatus, AdvancesTheCheckpointOfAStopUntilStoppedAndNeverGoesBack) {
    ServiceStatusTrack track;
    const auto start = NextServiceStatus(track, ServiceState::StartPending);
    ASSERT_TRUE(start);
    EXPECT_EQ(start->state, 2u); // SERVICE_START_PENDING
    EXPECT_EQ(start->checkPoint, 1u);
    const auto running = NextServiceStatus(track, ServiceState::Running);
    ASSERT_TRUE(running);
    EXPECT_EQ(running->checkPoint, 0u);
    EXPECT_EQ(running->controlsAccepted, 0x1u | 0x4u | 0x8u | 0x100u); // stop, shutdown, paramchange, preshutdown
    // The stop's ticks: each one a step, and each within the wait hint of the one before.
    for (std::uint32_t tick = 1; tick <= 12; ++tick) {
        const auto stopping = NextServiceStatus(track, ServiceState::StopPending);
        ASSERT_TRUE(stopping);
        EXPECT_EQ(stopping->state, 3u); // SERVICE_STOP_PENDING
        EXPECT_EQ(stopping->checkPoint, tick);
        EXPECT_EQ(stopping->controlsAccepted, 0u);
        EXPECT_GT(stopping->waitHint, 2 * StopTickMilliseconds);
    }
    // Set up late, the service would say it runs while it stops.
    EXPECT_FALSE(NextServiceStatus(track, ServiceState::Running));
    const auto stopped = NextServiceStatus(track, ServiceState::Stopped, 5);
    ASSERT_TRUE(stopped);
    EXPECT_EQ(stopped->state, 1u);            // SERVICE_STOPPED
    EXPECT_EQ(stopped->win32ExitCode, 1066u); // ERROR_SERVICE_SPECIFIC_ERROR
    EXPECT_EQ(stopped->serviceExitCode, 5u);
    EXPECT_EQ(stopped->checkPoint, 0u);
    // A tick that comes after the end is not told.
    EXPECT_FALSE(NextServiceStatus(track, ServiceState::StopPending));
    ServiceStatusTrack clean;
    EXPECT_EQ(NextServiceStatus(clean, ServiceState::Stopped, 0)->win32ExitCode, 0u);
}

TEST(StampLines, StampsEveryLineOnceWhereverThePipeCutsIt) {
    bool atLineStart = true;
    std::string out;
    StampLines("> a\r\n> b", "T ", atLineStart, out);
    StampLines("c\r\n\r\n", "U ", atLineStart, out);
    EXPECT_EQ(out, "T > a\r\nT > bc\r\nU \r\n");
    EXPECT_TRUE(atLineStart);
}

// The account NT SERVICE\NAME is this identifier: the folder's rights name it before the system has made it.
TEST(ServiceSidText, DerivesTheIdentifierAsTheSystemDoes) {
    EXPECT_EQ(ServiceSidText("TrustedInstaller"), "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464");
    EXPECT_EQ(ServiceSidText("trustedinstaller"), ServiceSidText("TrustedInstaller"));
}
