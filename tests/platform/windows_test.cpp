// The Windows side of the seam, run under Wine, where the portable tests do not reach: abandoned temporary files
// and the receive woken. The whole program under Wine answers through the rest of it.
#include "platform/files.h"
#include "platform/network.h"
#include "platform/udp_socket.h"
#include "platform/wake.h"
#include "resolutions/resolution_file.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

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

TEST(WindowsSockets, AWakeUpEndsTheWaitOfTheReceive) {
    StartNetwork();
    const SocketResult server = CreateUdpSocket();
    ASSERT_EQ(server.error, 0);
    const std::uint32_t loopback = ParseAddress("127.0.0.1");
    std::uint16_t port = 40053;
    while (port < 40153 && BindSocket(server.handle, loopback, port) != 0)
        ++port;
    const WakeResult wake = CreateWake();
    ASSERT_EQ(wake.error, 0);
    std::thread waker([wake] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        SignalWake(wake.handle);
    });
    std::array<DatagramBuffer, 4> buffers{};
    std::array<ReceivedDatagram, 4> received{};
    const ReceiveResult woken = ReceiveDatagrams(server.handle, std::span(&wake.handle, 1), buffers, received, true);
    waker.join();
    EXPECT_EQ(woken.count, 0u);
    EXPECT_TRUE(woken.woken);
    CloseWake(wake.handle);
    CloseSocket(server.handle);
    StopNetwork();
}
