// A TCP connection's bytes in, cut into pieces whose sizes the input's first bytes choose: the messages taken are
// those of the whole stream read at once, in order, up to a message of length 0 and none after it; what waits is
// never more than one message; each message reads as a query without reading out of bounds.
#include "dns/query_answer.h"
#include "dns/stream_connections.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace {

void Require(bool condition) {
    if (!condition)
        std::abort();
}

using Message = std::vector<std::uint8_t>;

// The stream read whole, frame by frame; and whether it ended with a message of length 0.
std::vector<Message> WholeStream(std::span<const std::uint8_t> stream, bool& ended) {
    std::vector<Message> messages;
    ended = false;
    for (;;) {
        const StreamFrame frame = ReadStreamFrame(stream);
        if (frame.kind == StreamFrame::Kind::Incomplete)
            return messages;
        if (frame.kind == StreamFrame::Kind::Empty) {
            ended = true;
            return messages;
        }
        messages.emplace_back(frame.message.begin(), frame.message.end());
        stream = stream.subspan(frame.length);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4)
        return 0;
    const std::span<const std::uint8_t> pieces(data, 4);
    const std::span<const std::uint8_t> stream(data + 4, size - 4);
    bool ended = false;
    const std::vector<Message> expected = WholeStream(stream, ended);
    StreamReceiver receiver;
    std::vector<Message> taken;
    QueryNames names;
    bool open = true;
    for (std::size_t at = 0, turn = 0; at < stream.size() && open; ++turn) {
        const std::size_t piece = std::min<std::size_t>(stream.size() - at, 1 + pieces[turn % pieces.size()]);
        open = receiver.Add(stream.subspan(at, piece), [&](std::span<const std::uint8_t> message) {
            taken.emplace_back(message.begin(), message.end());
            ReadDatagram(message, names);
        });
        at += piece;
        Require(open || ended);
        Require(receiver.Waiting() <= 2 + 0xFFFF);
    }
    Require(taken == expected && open == !ended);
    return 0;
}
