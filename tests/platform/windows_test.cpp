// The Windows side of the seam, run under Wine: the file replaced and appended to, and the receive woken.
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
    EXPECT_EQ(written.size, 4u);
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

TEST(WindowsSockets, ReceivesAnswersAndWakes) {
    StartNetwork();
    const SocketResult server = CreateUdpSocket();
    ASSERT_EQ(server.error, 0);
    const std::uint32_t loopback = ParseAddress("127.0.0.1");
    std::uint16_t port = 0;
    for (std::uint16_t candidate = 40053; candidate < 40153 && port == 0; ++candidate)
        if (BindSocket(server.handle, loopback, candidate) == 0)
            port = candidate;
    ASSERT_NE(port, 0);
    const WakeHandle wake = CreateWakeHandle(loopback, port);
    std::array<DatagramBuffer, 4> buffers{};
    std::array<ReceivedDatagram, 4> received{};
    std::thread waker([wake] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        SignalWake(wake);
    });
    const ReceiveResult woken = ReceiveDatagrams(server.handle, wake, buffers, received);
    waker.join();
    ASSERT_EQ(woken.count, 1u);
    EXPECT_TRUE(received[0].wake);

    // A datagram from another socket is no wake-up, and a reply goes back to it.
    const SocketResult client = CreateUdpSocket();
    ASSERT_EQ(BindSocket(client.handle, loopback, 0), 0);
    const Bytes hello = {1, 2, 3};
    OutgoingDatagram toServer{hello, {loopback, static_cast<std::uint16_t>((port >> 8) | (port << 8))}, 0, 0};
    SendDatagrams(client.handle, std::span(&toServer, 1));
    EXPECT_EQ(toServer.error, 0);
    ASSERT_EQ(ReceiveDatagrams(server.handle, wake, buffers, received).count, 1u);
    EXPECT_FALSE(received[0].wake);
    EXPECT_EQ(received[0].size, 3u);
    OutgoingDatagram reply{std::span<const std::uint8_t>(buffers[0].data(), 3), received[0].sender,
                           received[0].localAddress, 0};
    SendDatagrams(server.handle, std::span(&reply, 1));
    EXPECT_EQ(reply.error, 0);
    const WakeHandle none{};
    ASSERT_EQ(ReceiveDatagrams(client.handle, none, buffers, received).count, 1u);
    EXPECT_EQ(received[0].size, 3u);
    CloseWakeHandle(wake);
    CloseSocket(client.handle);
    CloseSocket(server.handle);
    StopNetwork();
}
