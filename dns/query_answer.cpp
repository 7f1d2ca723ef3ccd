#include "dns/query_answer.h"

#include "common/ipv4.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t HeaderSize = 12;
constexpr std::size_t TypeAndClassSize = 4;
constexpr std::uint8_t ResponseBit = 0x80;
constexpr std::uint8_t LongestLabel = 63;

constexpr std::uint8_t AnswerHeaderAfterId[] = {
    0x85, 0x00, // response, authoritative, recursion desired; no error
    0x00, 0x01, // one question
    0x00, 0x01, // one answer
    0x00, 0x00, // no authority records
    0x00, 0x00, // no additional records
};

constexpr std::uint8_t OpcodeBits = 0x78;
constexpr std::uint8_t RecursionDesiredBit = 0x01;

constexpr std::uint8_t RecordBeforeAddress[] = {
    0xC0, 0x0C,             // answer name: pointer to the question name
    0x00, 0x01,             // type A
    0x00, 0x01,             // class IN
    0x00, 0x89, 0x6B, 0xB0, // time to live, 9006000 seconds
    0x00, 0x04,             // four bytes of address
};

// The header and the question as asked; the ID is the query's own.
std::size_t WriteHeaderAndQuestion(std::span<std::uint8_t> answer, const Query& query,
                                   std::span<const std::uint8_t, 10> headerAfterId) {
    std::uint8_t* out = std::copy_n(query.datagram.data(), 2, answer.data());
    out = std::copy(headerAfterId.begin(), headerAfterId.end(), out);
    std::copy_n(query.datagram.data() + QueryNameOffset, query.questionLength, out);
    return HeaderSize + query.questionLength;
}

} // namespace

namespace {

// Walks the question's labels into both names. False when the question cannot be read.
bool ReadQuestion(std::span<const std::uint8_t> datagram, QueryNames& names, Query& query) {
    std::size_t offset = QueryNameOffset;
    std::size_t length = 0;
    bool dotInLabel = false;
    for (;;) {
        if (offset >= datagram.size())
            return false;
        const std::uint8_t labelLength = datagram[offset++];
        if (labelLength == 0)
            break;
        if (labelLength > LongestLabel || labelLength > datagram.size() - offset)
            return false;
        const std::size_t dot = length == 0 ? 0 : 1;
        if (length + dot + labelLength > MaxHostNameLength)
            return false;
        if (dot != 0)
            names.shown[length] = names.exact[length] = '.';
        length += dot;
        for (std::size_t i = 0; i < labelLength; ++i, ++length) {
            const auto byte = static_cast<std::int8_t>(datagram[offset + i]);
            names.exact[length] = static_cast<char>(byte);
            names.shown[length] = byte <= 31 ? '.' : static_cast<char>(byte);
            query.plain = query.plain && byte > 31 && byte != '.';
            dotInLabel = dotInLabel || byte == '.';
        }
        offset += labelLength;
    }
    if (datagram.size() - offset < TypeAndClassSize)
        return false;
    names.shown[length] = names.exact[length] = '\0';
    query.datagram = datagram;
    query.questionLength = offset + TypeAndClassSize - QueryNameOffset;
    query.name = std::string_view(names.shown.data(), length);
    query.exactName = dotInLabel ? std::string_view() : std::string_view(names.exact.data(), length);
    return true;
}

} // namespace

ReadDatagramResult ReadDatagram(std::span<const std::uint8_t> datagram, QueryNames& names) {
    ReadDatagramResult result{datagram, DatagramKind::Malformed, {}};
    if (datagram.size() < HeaderSize)
        return result;
    if ((datagram[2] & ResponseBit) != 0)
        result.kind = DatagramKind::Response;
    else if ((datagram[2] & OpcodeBits) != 0)
        result.kind = DatagramKind::OtherOpcode;
    else if (datagram[4] != 0 || datagram[5] != 1)
        result.kind = DatagramKind::NotOneQuestion;
    else if (ReadQuestion(datagram, names, result.query))
        result.kind = DatagramKind::Query;
    return result;
}

std::span<const std::uint8_t> QueryHead(const Query& query) {
    return query.datagram.first(QueryNameOffset + query.questionLength);
}

std::size_t AnswerMessageLength(const Query& query) {
    return HeaderSize + query.questionLength + sizeof RecordBeforeAddress + sizeof(std::uint32_t);
}

std::size_t WriteAnswerMessage(std::span<std::uint8_t> answer, const Query& query, std::uint32_t address) {
    const std::size_t length = AnswerMessageLength(query);
    if (length > answer.size())
        return 0;
    const std::size_t recordOffset = WriteHeaderAndQuestion(answer, query, AnswerHeaderAfterId);
    std::uint8_t* out =
        std::copy(std::begin(RecordBeforeAddress), std::end(RecordBeforeAddress), answer.data() + recordOffset);
    std::memcpy(out, &address, sizeof address);
    return length;
}

std::size_t WriteFailureMessage(std::span<std::uint8_t> answer, const Query& query, std::uint8_t responseCode) {
    if (HeaderSize + query.questionLength > answer.size())
        return 0;
    const std::uint8_t headerAfterId[] = {
        0x85, responseCode, // response, authoritative, recursion desired; the response code
        0x00, 0x01,         // one question
        0x00, 0x00,         // no answer
        0x00, 0x00,         // no authority records
        0x00, 0x00,         // no additional records
    };
    return WriteHeaderAndQuestion(answer, query, headerAfterId);
}

std::size_t WriteErrorHeader(std::span<std::uint8_t> answer, std::span<const std::uint8_t> datagram,
                             std::uint8_t responseCode) {
    if (answer.size() < HeaderSize || datagram.size() < HeaderSize)
        return 0;
    std::fill_n(answer.data(), HeaderSize, 0);
    std::copy_n(datagram.data(), 2, answer.data());
    answer[2] = static_cast<std::uint8_t>(ResponseBit | (datagram[2] & (OpcodeBits | RecursionDesiredBit)));
    answer[3] = responseCode;
    return HeaderSize;
}

TableAnswer AnswerFromTable(const ResolutionTable& table, const LocalAddressList& addresses, std::string_view queryName,
                            std::uint32_t clientAddress) {
    const std::optional<ResolutionEntry> entry = FindResolution(table, queryName);
    if (!entry)
        return {TableAnswer::Outcome::Learn, 0, queryName};
    if (entry->kind == ForwardKind)
        return {TableAnswer::Outcome::Forward, 0, entry->target};
    return {TableAnswer::Outcome::Answered,
            entry->address != 0 ? entry->address : ChooseServerAddress(addresses, clientAddress),
            {}};
}

void AppendQueryLine(std::string& console, std::uint32_t clientAddress, std::string_view queryName,
                     std::optional<std::uint32_t> address, bool terminal) {
    console += "> ";
    console += DottedAddress(clientAddress).data();
    console += ": ";
    AppendConsoleText(console, queryName, terminal);
    console += " -> ";
    console += address ? DottedAddress(*address).data() : "Failure.";
    console += '\n';
}
