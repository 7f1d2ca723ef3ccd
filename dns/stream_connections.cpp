#include "dns/stream_connections.h"

#include <algorithm>
#include <tuple>

StreamFrame ReadStreamFrame(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 2)
        return {};
    const std::size_t length = static_cast<std::size_t>(bytes[0]) << 8 | bytes[1];
    if (length == 0)
        return {StreamFrame::Kind::Empty, {}, 2};
    if (bytes.size() < 2 + length)
        return {};
    return {StreamFrame::Kind::Message, bytes.subspan(2, length), 2 + length};
}

void StreamConnections::Serve(Clock::time_point now, const TakeMessage& take) {
    watched_.clear();
    for (const StreamListener& listener : listeners_)
        watched_.push_back(listener.handle);
    for (const Connection& connection : connections_)
        watched_.push_back(connection.socket);
    ready_.resize(watched_.size());
    const std::size_t count = TakeReadyStreams(watch_, watched_, ready_);
    for (std::size_t i = 0; i < count; ++i) {
        const ReadyStream& ready = ready_[i];
        const auto listener = std::find_if(listeners_.begin(), listeners_.end(), [&ready](const StreamListener& item) {
            return item.handle.value == ready.socket;
        });
        if (listener != listeners_.end()) {
            Accept(listener->handle, now);
            continue;
        }
        const auto found = std::find_if(connections_.begin(), connections_.end(),
                                        [&ready](const Connection& item) { return item.socket.value == ready.socket; });
        if (found == connections_.end())
            continue; // closed by an accept before it
        bool open = true;
        if (ready.writable && found->sent < found->unsent.size())
            open = Write(*found, now);
        if (open && ready.readable && !found->ending)
            open = Read(*found, now, take);
        if (!open || found->Finished())
            Drop(static_cast<std::size_t>(found - connections_.begin()));
    }
}

// Takes every connection waiting; beyond the bound, the one idle longest makes room.
void StreamConnections::Accept(SocketHandle listener, Clock::time_point now) {
    for (;;) {
        const AcceptedStream accepted = AcceptStream(watch_, listener);
        if (accepted.handle.value < 0)
            return; // none waits, or the accept failed: the next one is taken when it comes
        if (connections_.size() >= MostStreamConnections) {
            const auto idlest = std::min_element(
                connections_.begin(), connections_.end(), [](const Connection& one, const Connection& other) {
                    // Of those accepted at once, the first.
                    return std::tie(one.lastActive, one.id) < std::tie(other.lastActive, other.id);
                });
            Drop(static_cast<std::size_t>(idlest - connections_.begin()));
        }
        if (++lastId_ == 0)
            ++lastId_;
        Connection connection;
        connection.id = lastId_;
        connection.socket = accepted.handle;
        connection.route = {accepted.peer.address, accepted.peer.port, accepted.local, lastId_};
        connection.lastActive = now;
        connections_.push_back(std::move(connection));
    }
}

bool StreamConnections::Read(Connection& connection, Clock::time_point now, const TakeMessage& take) {
    const StreamTransfer got = ReadStream(connection.socket, buffer_);
    if (got.again)
        return true;
    if (got.error != 0)
        return false;
    const bool more = !got.ended && connection.receiver.Add(std::span(buffer_.data(), got.bytes),
                                                            [&](std::span<const std::uint8_t> message) {
                                                                connection.lastActive = now;
                                                                ++connection.unanswered;
                                                                take(message, connection.route);
                                                            });
    if (!more) {
        connection.ending = true;
        return Watch(connection) == 0;
    }
    return true;
}

// Writes what waits, as far as it goes now; the rest waits until the socket can take more.
bool StreamConnections::Write(Connection& connection, Clock::time_point now) {
    while (connection.sent < connection.unsent.size()) {
        const StreamTransfer put =
            WriteStream(connection.socket, std::span(connection.unsent).subspan(connection.sent));
        if (put.error != 0)
            return false;
        if (put.again)
            break;
        connection.sent += put.bytes;
        connection.lastActive = now;
    }
    if (connection.sent == connection.unsent.size()) {
        connection.unsent.clear();
        connection.sent = 0;
    }
    if (!connection.unsent.empty() != connection.watchedForWrite)
        return Watch(connection) == 0;
    return true;
}

// Watched for reading until the client is done (a socket whose peer has closed stays readable), for writing
// while replies wait.
int StreamConnections::Watch(Connection& connection) {
    connection.watchedForWrite = !connection.unsent.empty();
    return WatchStream(watch_, connection.socket, !connection.ending, connection.watchedForWrite);
}

void StreamConnections::Reply(std::uint32_t stream, std::span<const std::uint8_t> message, Clock::time_point now) {
    Connection* connection = Find(stream);
    if (connection == nullptr || message.size() > 0xFFFF)
        return;
    // A client that does not read its replies loses them and the connection, before it costs more memory.
    if (connection->unsent.size() - connection->sent + 2 + message.size() > MostUnsentBytes) {
        Drop(static_cast<std::size_t>(connection - connections_.data()));
        return;
    }
    connection->unsent.push_back(static_cast<std::uint8_t>(message.size() >> 8));
    connection->unsent.push_back(static_cast<std::uint8_t>(message.size() & 0xFF));
    connection->unsent.insert(connection->unsent.end(), message.begin(), message.end());
    connection->lastActive = now;
    if (connection->unanswered > 0)
        --connection->unanswered;
    if (!Write(*connection, now) || connection->Finished())
        Drop(static_cast<std::size_t>(connection - connections_.data()));
}

int StreamConnections::Listen(std::uint32_t address, std::uint16_t port) {
    const SocketResult listener = ListenOnStream(watch_, address, port);
    if (listener.error == 0)
        listeners_.push_back({address, listener.handle});
    return listener.error;
}

void StreamConnections::StopListening(std::uint32_t address) {
    std::erase_if(listeners_, [this, address](const StreamListener& listener) {
        if (listener.address != address)
            return false;
        CloseStream(watch_, listener.handle);
        return true;
    });
}

void StreamConnections::CloseIdle(Clock::time_point now) {
    for (std::size_t i = connections_.size(); i-- > 0;)
        if (now - connections_[i].lastActive >= StreamIdleTime)
            Drop(i);
}

std::optional<StreamConnections::Clock::time_point> StreamConnections::NextDeadline() const {
    std::optional<Clock::time_point> next;
    for (const Connection& connection : connections_)
        if (!next || connection.lastActive + StreamIdleTime < *next)
            next = connection.lastActive + StreamIdleTime;
    return next;
}

void StreamConnections::Close() {
    while (!connections_.empty())
        Drop(connections_.size() - 1);
    for (const StreamListener& listener : listeners_)
        CloseStream(watch_, listener.handle);
    listeners_.clear();
    CloseStreamWatch(watch_);
    watch_ = {};
}

void StreamConnections::Drop(std::size_t index) {
    CloseStream(watch_, connections_[index].socket);
    connections_[index] = std::move(connections_.back());
    connections_.pop_back();
}

StreamConnections::Connection* StreamConnections::Find(std::uint32_t stream) {
    const auto found = std::find_if(connections_.begin(), connections_.end(),
                                    [stream](const Connection& item) { return item.id == stream; });
    return found == connections_.end() ? nullptr : &*found;
}
