#pragma once

#include "platform/connected_socket.h"
#include "platform/udp_socket.h"
#include "platform/wake.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// One query asked of one server over TCP without waiting: the connection begun, then the query sent and the answer
// read as far as the socket lets each time, both behind their two-byte length (RFC 1035 §4.2.2). It owns its
// socket and closes it once the answer is whole or the exchange failed.
class TcpExchange {
public:
    enum class Progress { Waiting, Answered, Failed };

    TcpExchange() = default;
    TcpExchange(TcpExchange&& other) noexcept;
    TcpExchange& operator=(TcpExchange&& other) noexcept;
    ~TcpExchange() { Close(); }

    // Begins the connection to the server, for the query (at most 65535 bytes); the socket signals `wake` where the
    // system needs that. 0, or the platform's code of the failure.
    [[nodiscard]] int Start(SocketAddress server, std::span<const std::uint8_t> query, WakeHandle wake);

    // Whether it is under way: started, and neither answered nor failed.
    bool UnderWay() const { return socket_.value >= 0; }

    // What the wait is to watch while it is under way: room to send until the query is sent, then the answer.
    SocketWait Wait() const { return {socket_, phase_ == Phase::Sending}; }

    // Sends and receives what the socket takes and has now. Answered: Answer() holds the whole message. Failed: the
    // connection failed, or the server closed it before the answer was whole.
    Progress Advance();

    std::span<const std::uint8_t> Answer() const { return message_; }

    void Close();

private:
    enum class Phase { Sending, ReadingLength, ReadingAnswer };

    SocketHandle socket_;
    Phase phase_ = Phase::Sending;
    std::vector<std::uint8_t> message_; // the query behind its length, then the answer's length, then the answer
    std::size_t done_ = 0;              // bytes of message_ sent, or received
};
