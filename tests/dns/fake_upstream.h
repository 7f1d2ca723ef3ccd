#pragma once

#include "platform/udp_socket.h"
#include "platform/wake.h"
#include "tests/test_support.h"

#include <chrono>
#include <optional>
#include <vector>

// A DNS server of the test's own on loopback, on a port that was free for both UDP and TCP: it takes what it is
// sent and sends what the test tells it to, over UDP and over the TCP connections it accepts. Every wait is bounded.
class FakeUpstream {
public:
    FakeUpstream();
    ~FakeUpstream();
    FakeUpstream(const FakeUpstream&) = delete;
    FakeUpstream& operator=(const FakeUpstream&) = delete;

    SocketAddress Address() const;

    struct Datagram {
        Bytes bytes;
        SocketAddress from;
    };
    // The next datagram, within `wait`.
    std::optional<Datagram> Receive(std::chrono::milliseconds wait = std::chrono::seconds(5));
    void Send(const Bytes& bytes, SocketAddress to);

    // The next TCP connection made to it, within `wait`. It stays open until Disconnect or the end.
    std::optional<SocketHandle> Accept(std::chrono::milliseconds wait = std::chrono::seconds(5));
    // The next message on the connection, without its two-byte length, within `wait`.
    std::optional<Bytes> ReceiveMessage(SocketHandle connection,
                                        std::chrono::milliseconds wait = std::chrono::seconds(5));
    // Sends the bytes as they are: a message's length is the test's to write.
    void SendBytes(SocketHandle connection, const Bytes& bytes);
    void Disconnect(SocketHandle connection);

private:
    bool WaitReadable(SocketHandle handle, std::chrono::steady_clock::time_point until);

    SocketHandle datagrams_;
    SocketHandle listener_;
    std::vector<SocketHandle> connections_;
    WakeHandle wake_; // for the platform's wait; never signalled
    std::uint16_t port_ = 0;
};

// A response: the ID and flags, the question's labels and type (class IN), and the records behind it.
Bytes MakeResponse(std::uint16_t id, std::uint16_t flags, std::initializer_list<std::string_view> labels,
                   std::uint16_t type, std::uint16_t answers, std::uint16_t authorities, const Bytes& records);
