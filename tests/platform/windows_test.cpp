// The Windows side of the seam, run under Wine: the file replaced and appended to, and the receive woken. The
// whole program under Wine answers through the rest of it.
#include "platform/files.h"
#include "platform/network.h"
#include "platform/udp_socket.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

TEST(WindowsFiles, ReplaceAppendAndReadWholeFile) {
    TemporaryDirectory directory;
    const std::string file = directory.File("table.drf");
    EXPECT_TRUE(ReadWholeFile(file.c_str()).missing);
    FileIdentity written;
    ASSERT_EQ(ReplaceFile(file.c_str(), Bytes{1, 0, 0, 0, 9}, &written), 0);
    ASSERT_EQ(ReplaceFile(file.c_str(), Bytes{1, 0, 0, 0}, &written), 0); // over an existing file
    EXPECT_EQ(AppendToFile(file.c_str(), written, Bytes{7, 7}, Bytes{2}), 0);
    const FileContents read = ReadWholeFile(file.c_str());
    EXPECT_EQ(read.bytes, (Bytes{2, 0, 0, 0, 7, 7}));
    EXPECT_EQ(read.identity, written);
    // Replaced from outside: not appended to.
    WriteBytes(file, {0, 0, 0, 0});
    EXPECT_EQ(AppendToFile(file.c_str(), written, Bytes{1}, Bytes{1}), StaleFile);
    EXPECT_NE(ReadWholeFile(directory.path.c_str()).error, 0); // a folder is no table
    // No temporary file is left behind, and an abandoned one of a process long gone is removed.
    WriteBytes(file + ".4000000.tmp", {1});
    RemoveAbandonedTemporaryFiles(file.c_str());
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory.path), {}), 1);
}

TEST(WindowsSockets, AWakeUpEndsTheWaitOfTheReceive) {
    StartNetwork();
    const SocketResult server = CreateUdpSocket();
    ASSERT_EQ(server.error, 0);
    const std::uint32_t loopback = ParseAddress("127.0.0.1");
    std::uint16_t port = 40053;
    while (port < 40153 && BindSocket(server.handle, loopback, port) != 0)
        ++port;
    const WakeHandle wake = CreateWakeHandle(loopback, port);
    std::thread waker([wake] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        SignalWake(wake);
    });
    std::array<DatagramBuffer, 4> buffers{};
    std::array<ReceivedDatagram, 4> received{};
    const ReceiveResult woken = ReceiveDatagrams(server.handle, wake, buffers, received);
    waker.join();
    ASSERT_EQ(woken.count, 1u);
    EXPECT_TRUE(received[0].wake);
    CloseWakeHandle(wake);
    CloseSocket(server.handle);
    StopNetwork();
}
