#include "tests/dns/fake_upstream.h"

#include "common/ipv4.h"
#include "platform/connected_socket.h"
#include "platform/network.h"
#include "platform/random.h"

// The BSD socket calls, the same on both systems, through the platform's own header for them.
#include "system_sockets.h"

#include <gtest/gtest.h>

#include <array>

namespace {

using Clock = std::chrono::steady_clock;
using NativeSocket = decltype(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));

const std::uint32_t Loopback = MakeAddress(127, 0, 0, 1);
// The platform's wait on Windows wakes for sockets tied to its wake-up only: others are polled this often.
constexpr std::chrono::milliseconds PollSlice{10};

NativeSocket Native(SocketHandle handle) { return static_cast<NativeSocket>(handle.value); }

} // namespace

FakeUpstream::FakeUpstream() {
    StartNetwork();
    wake_ = CreateWake().handle;
    std::uint16_t random = 0;
    EXPECT_TRUE(FillRandom(std::span(reinterpret_cast<std::uint8_t*>(&random), sizeof random)));
    port_ = static_cast<std::uint16_t>(20000 + random % 20000);
    for (int tries = 0; tries < 100; ++tries, ++port_) {
        datagrams_ = CreateUdpSocket().handle;
        listener_ = {static_cast<std::intptr_t>(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP))};
        if (BindSocket(datagrams_, Loopback, port_) == 0 && BindSocket(listener_, Loopback, port_) == 0 &&
            listen(Native(listener_), SOMAXCONN) == 0)
            return;
        CloseSocket(datagrams_);
        CloseSocket(listener_);
    }
    ADD_FAILURE() << "no port free for both UDP and TCP";
}

FakeUpstream::~FakeUpstream() {
    for (const SocketHandle connection : connections_)
        CloseSocket(connection);
    CloseSocket(listener_);
    CloseSocket(datagrams_);
    CloseWake(wake_);
    StopNetwork();
}

// PortNumber swaps a port's bytes as ntohs does; htons is the same swap.
SocketAddress FakeUpstream::Address() const { return {Loopback, PortNumber(port_)}; }

std::optional<FakeUpstream::Datagram> FakeUpstream::Receive(std::chrono::milliseconds wait) {
    std::array<DatagramBuffer, 1> buffers{};
    std::array<ReceivedDatagram, 1> received{};
    const auto until = Clock::now() + wait;
    // A wait may end early without a datagram (a signal): it goes on until its time.
    for (auto now = Clock::now(); now < until; now = Clock::now())
        if (ReceiveDatagrams(datagrams_, {}, buffers, received,
                             std::chrono::ceil<std::chrono::milliseconds>(until - now))
                .count == 1)
            return Datagram{{buffers[0].begin(), buffers[0].begin() + received[0].size}, received[0].sender};
    return std::nullopt;
}

void FakeUpstream::Send(const Bytes& bytes, SocketAddress to) {
    OutgoingDatagram datagram{bytes, to};
    SendDatagrams(datagrams_, std::span(&datagram, 1));
    EXPECT_EQ(datagram.error, 0);
}

bool FakeUpstream::WaitReadable(SocketHandle handle, Clock::time_point until) {
    const SocketWait wait{handle};
    std::vector<std::size_t> ready;
    while (ready.empty() && Clock::now() < until)
        WaitForSockets(std::span(&wait, 1), wake_, PollSlice, ready);
    return !ready.empty();
}

std::optional<SocketHandle> FakeUpstream::Accept(std::chrono::milliseconds wait) {
    if (!WaitReadable(listener_, Clock::now() + wait))
        return std::nullopt;
    const SocketHandle connection{static_cast<std::intptr_t>(accept(Native(listener_), nullptr, nullptr))};
    if (connection.value < 0)
        return std::nullopt;
    connections_.push_back(connection);
    return connection;
}

std::optional<Bytes> FakeUpstream::ReceiveMessage(SocketHandle connection, std::chrono::milliseconds wait) {
    const auto until = Clock::now() + wait;
    Bytes message;
    // A byte a round, the length first: bounded by the length and the time.
    for (std::size_t wanted = 2; message.size() < wanted;) {
        char byte = 0;
        if (!WaitReadable(connection, until) || recv(Native(connection), &byte, 1, 0) != 1)
            return std::nullopt;
        message.push_back(static_cast<std::uint8_t>(byte));
        if (message.size() == 2)
            wanted += static_cast<std::size_t>(message[0] << 8 | message[1]);
    }
    return Bytes(message.begin() + 2, message.end());
}

void FakeUpstream::SendBytes(SocketHandle connection, const Bytes& bytes) {
    const auto sent =
        send(Native(connection), reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0);
    EXPECT_EQ(static_cast<std::size_t>(sent), bytes.size());
}

void FakeUpstream::Disconnect(SocketHandle connection) {
    std::erase_if(connections_, [&](SocketHandle open) { return open.value == connection.value; });
    CloseSocket(connection);
}

Bytes MakeResponse(std::uint16_t id, std::uint16_t flags, std::initializer_list<std::string_view> labels,
                   std::uint16_t type, std::uint16_t answers, std::uint16_t authorities, const Bytes& records) {
    Bytes response = MakeQuery(id, labels, type);
    response[2] = static_cast<std::uint8_t>(flags >> 8);
    response[3] = static_cast<std::uint8_t>(flags);
    response[6] = static_cast<std::uint8_t>(answers >> 8);
    response[7] = static_cast<std::uint8_t>(answers);
    response[8] = static_cast<std::uint8_t>(authorities >> 8);
    response[9] = static_cast<std::uint8_t>(authorities);
    response.insert(response.end(), records.begin(), records.end());
    return response;
}
