#pragma once

#include "dns/thread_messages.h"
#include "platform/stream_socket.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

// What the front of a connection's bytes holds: a whole message (RFC 1035 §4.2.2: a two-byte length, then the
// message), a message not yet whole, or a message of length 0, which no query can be: the client is done.
struct StreamFrame {
    enum class Kind { Message, Incomplete, Empty } kind = Kind::Incomplete;
    std::span<const std::uint8_t> message; // Message only
    std::size_t length = 0;                // of the frame, its length bytes included; Message and Empty only
};
StreamFrame ReadStreamFrame(std::span<const std::uint8_t> bytes);

// A connection's bytes as they come, in pieces of any size, taken as whole messages.
class StreamReceiver {
public:
    // Adds the bytes, and hands each message now whole to `take` (a function of the message's bytes), in order.
    // False once a message of length 0 came: the client is done, and nothing after it is taken.
    template <typename Take> bool Add(std::span<const std::uint8_t> bytes, Take&& take) {
        received_.insert(received_.end(), bytes.begin(), bytes.end());
        std::size_t used = 0;
        StreamFrame frame;
        while ((frame = ReadStreamFrame(std::span(received_).subspan(used))).kind == StreamFrame::Kind::Message) {
            used += frame.length;
            take(frame.message);
        }
        received_.erase(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(used));
        return frame.kind != StreamFrame::Kind::Empty;
    }
    // The bytes of a message not yet whole: at most a message's length bytes and 65,535 more.
    std::size_t Waiting() const { return received_.size(); }

private:
    std::vector<std::uint8_t> received_;
};

// A connection whose client is done (its side closed, or a message of length 0) is closed once the queries it sent
// are answered, or when it is idle.

// Bounds that hold against a careless or hostile host on the network: beyond MostStreamConnections the one idle
// longest is closed; a connection is closed when StreamIdleTime passes without a whole query from it or a reply
// to it (a message cut off mid-way does not count), and when its replies wait unread beyond MostUnsentBytes.
inline constexpr std::size_t MostStreamConnections = 64;
inline constexpr auto StreamIdleTime = std::chrono::seconds(10);
inline constexpr std::size_t MostUnsentBytes = 64 * 1024;
// Read from one connection at a time, so that one client's stream of queries does not hold up the others and
// the datagrams.
inline constexpr std::size_t StreamReadSize = 16 * 1024;

// A listening socket, and the address it listens on.
struct StreamListener {
    std::uint32_t address = 0; // network byte order
    SocketHandle handle;
};

// The service's TCP connections, served by the answering thread beside its datagrams: queries are taken as they
// come, several on one connection (RFC 7766 §6.2.1.1), and each reply is written when it is ready, in whatever
// order. The listening sockets are the caller's; they are closed with the watch.
class StreamConnections {
public:
    using Clock = std::chrono::steady_clock;
    // A whole query, with the route its reply takes back.
    using TakeMessage = std::function<void(std::span<const std::uint8_t> message, const ReplyRoute& route)>;

    StreamConnections(StreamWatch watch, std::vector<StreamListener> listeners)
        : watch_(watch), listeners_(std::move(listeners)) {}
    StreamConnections(const StreamConnections&) = delete;
    StreamConnections& operator=(const StreamConnections&) = delete;
    ~StreamConnections() { Close(); }

    // Ends the wait for datagrams while a connection or a listening socket has something to do.
    WakeHandle Wake() const { return StreamWatchWake(watch_); }

    // Accepts the waiting connections, writes what waits where it can go now, and reads the queries that came:
    // each is handed to `take` before the next is read.
    void Serve(Clock::time_point now, const TakeMessage& take);
    // Queues a reply on its connection and writes it as far as it goes now. A reply for a connection that has
    // gone is dropped.
    void Reply(std::uint32_t stream, std::span<const std::uint8_t> message, Clock::time_point now);
    // Listens on one more address (an address the machine has come to have); 0 or the platform's code of the
    // failure. Listening there no more (an address it has lost) leaves its connections to end as they do.
    int Listen(std::uint32_t address, std::uint16_t port);
    void StopListening(std::uint32_t address);
    // Closes the connections idle StreamIdleTime.
    void CloseIdle(Clock::time_point now);
    // When CloseIdle may next have something to do; none without connections.
    std::optional<Clock::time_point> NextDeadline() const;
    // Closes every connection and listening socket, and the watch.
    void Close();

    std::size_t Count() const { return connections_.size(); }

private:
    struct Connection {
        std::uint32_t id = 0;
        SocketHandle socket;
        ReplyRoute route; // where its replies go: its client, and this connection
        StreamReceiver receiver;
        std::vector<std::uint8_t> unsent;
        std::size_t sent = 0;       // of `unsent`, already written
        std::size_t unanswered = 0; // queries taken and not yet replied to; some are never (responses, say)
        Clock::time_point lastActive;
        bool watchedForWrite = false;
        bool ending = false; // the client is done: read no more, close when nothing is owed to it

        bool Finished() const { return ending && unanswered == 0 && unsent.empty(); }
    };

    void Accept(SocketHandle listener, Clock::time_point now);
    // False when the connection is done and is to be closed.
    bool Read(Connection& connection, Clock::time_point now, const TakeMessage& take);
    bool Write(Connection& connection, Clock::time_point now);
    int Watch(Connection& connection);
    void Drop(std::size_t index);
    Connection* Find(std::uint32_t stream);

    StreamWatch watch_;
    std::vector<StreamListener> listeners_;
    std::vector<Connection> connections_;
    std::vector<SocketHandle> watched_; // listeners and connections, for a watch that cannot tell which is ready
    std::vector<ReadyStream> ready_;
    std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(StreamReadSize);
    std::uint32_t lastId_ = 0;
};
