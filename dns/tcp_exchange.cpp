#include "dns/tcp_exchange.h"

#include "platform/stream_socket.h"

#include <utility>

namespace {

constexpr std::size_t LengthBytes = 2;

} // namespace

TcpExchange::TcpExchange(TcpExchange&& other) noexcept
    : socket_(std::exchange(other.socket_, {})), phase_(other.phase_), message_(std::move(other.message_)),
      done_(other.done_) {}

TcpExchange& TcpExchange::operator=(TcpExchange&& other) noexcept {
    if (this != &other) {
        Close();
        socket_ = std::exchange(other.socket_, {});
        phase_ = other.phase_;
        message_ = std::move(other.message_);
        done_ = other.done_;
    }
    return *this;
}

int TcpExchange::Start(SocketAddress server, std::span<const std::uint8_t> query, WakeHandle wake) {
    Close();
    const SocketResult created = StartTcpConnection(server, wake);
    if (created.error != 0)
        return created.error;
    socket_ = created.handle;
    phase_ = Phase::Sending;
    message_ = {static_cast<std::uint8_t>(query.size() >> 8), static_cast<std::uint8_t>(query.size())};
    message_.insert(message_.end(), query.begin(), query.end());
    done_ = 0;
    return 0;
}

TcpExchange::Progress TcpExchange::Advance() {
    if (!UnderWay())
        return Progress::Failed;
    // Every round moves at least one byte or returns: bounded by the message's length.
    while (phase_ == Phase::Sending && done_ < message_.size()) {
        const StreamTransfer sent = WriteStream(socket_, std::span(message_).subspan(done_));
        if (sent.error != 0) {
            Close();
            return Progress::Failed;
        }
        if (sent.bytes == 0)
            return Progress::Waiting;
        done_ += sent.bytes;
    }
    if (phase_ == Phase::Sending) {
        phase_ = Phase::ReadingLength;
        message_.assign(LengthBytes, 0);
        done_ = 0;
    }
    while (done_ < message_.size()) {
        const StreamTransfer got = ReadStream(socket_, std::span(message_).subspan(done_));
        if (got.error != 0 || got.ended) {
            Close();
            return Progress::Failed;
        }
        if (got.bytes == 0)
            return Progress::Waiting;
        done_ += got.bytes;
        if (phase_ == Phase::ReadingLength && done_ == LengthBytes) {
            phase_ = Phase::ReadingAnswer;
            message_.assign(static_cast<std::size_t>(message_[0] << 8 | message_[1]), 0);
            done_ = 0;
        }
    }
    Close();
    return Progress::Answered;
}

void TcpExchange::Close() {
    CloseSocket(socket_);
    socket_ = {};
}
