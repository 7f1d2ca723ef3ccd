#include "dns/answer_message.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t HeaderSize = 12;
constexpr std::uint8_t ResponseBit = 0x80;
constexpr std::uint8_t OpcodeBits = 0x78;
constexpr std::uint8_t RecursionDesiredBit = 0x01;
constexpr std::uint8_t QuestionName[] = {0xC0, 0x0C}; // a pointer to the name as the question asked it
constexpr std::uint16_t TypeSoa = 6;
constexpr std::size_t SoaLength = 12 + 2 + 13 + 20; // record header, MNAME, RNAME, five numbers
constexpr std::uint8_t TruncatedBit = 0x02;
constexpr std::size_t OptFieldsSize = 8; // TYPE, CLASS and TTL
// What we take in a datagram (the receive buffer holds more): what crosses most paths unfragmented, IPv6's
// least MTU of 1280 less its headers.
constexpr std::uint16_t OwnPayloadSize = 1232;
constexpr std::size_t LongestMessage = 65535;
// The most a UDP datagram over IPv4 carries: 65535 less the IP and UDP headers.
constexpr std::size_t LongestDatagram = 65535 - 20 - 8;
constexpr std::size_t ShortestLimit = 512;

// Writes forward; runs out of room quietly, which the caller tells by `full`.
struct Writer {
    std::span<std::uint8_t> room;
    std::size_t length = 0;
    bool full = false;

    void Bytes(std::span<const std::uint8_t> bytes) {
        if (full || bytes.size() > room.size() - length) {
            full = true;
            return;
        }
        std::copy(bytes.begin(), bytes.end(), room.begin() + static_cast<std::ptrdiff_t>(length));
        length += bytes.size();
    }
    void Byte(std::uint8_t value) { Bytes(std::span(&value, 1)); }
    void Short(std::uint16_t value) {
        const std::uint8_t bytes[] = {static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
        Bytes(bytes);
    }
    void Long(std::uint32_t value) {
        Short(static_cast<std::uint16_t>(value >> 16));
        Short(static_cast<std::uint16_t>(value));
    }
    // A record's owner (the question's name), type, class and time to live.
    void RecordHead(std::uint16_t type, std::uint32_t timeToLive) {
        Bytes(QuestionName);
        Short(type);
        Short(ClassIn);
        Long(timeToLive);
    }
};

// The dotted name as labels; false when it has an empty label or one longer than 63 bytes.
bool WriteLabels(Writer& out, std::string_view name) {
    if (name.empty() || name.size() > 253)
        return false;
    while (!name.empty()) {
        const std::size_t dot = std::min(name.find('.'), name.size());
        if (dot == 0 || dot > 63)
            return false;
        out.Byte(static_cast<std::uint8_t>(dot));
        out.Bytes(std::span(reinterpret_cast<const std::uint8_t*>(name.data()), dot));
        name.remove_prefix(std::min(dot + 1, name.size()));
    }
    out.Byte(0);
    return true;
}

// The SOA of a zone at the question's name: this server is its only source, so serial and timers are fixed; the
// time to live and MINIMUM say how long a resolver may keep the negative answer (RFC 2308 §4, §5).
void WriteSoa(Writer& out, std::uint32_t timeToLive) {
    static constexpr std::uint8_t Hostmaster[] = {10, 'h', 'o', 's', 't', 'm', 'a', 's', 't', 'e', 'r', 0xC0, 0x0C};
    out.RecordHead(TypeSoa, timeToLive);
    out.Short(SoaLength - 12);
    out.Bytes(QuestionName); // MNAME
    out.Bytes(Hostmaster);   // RNAME
    out.Long(1);             // SERIAL
    out.Long(3600);          // REFRESH
    out.Long(600);           // RETRY
    out.Long(86400);         // EXPIRE
    out.Long(timeToLive);    // MINIMUM
}

// Our OPT record: version 0, the DO bit as the query had it (RFC 3225 §3), the extended code's upper bits.
void WriteOpt(Writer& out, const Edns& edns, std::uint8_t responseCode) {
    out.Byte(0);
    out.Short(TypeOpt);
    out.Short(OwnPayloadSize);
    out.Byte(static_cast<std::uint8_t>(responseCode >> 4));
    out.Byte(0);
    out.Short(edns.dnssecOk ? 0x8000 : 0);
    out.Short(0);
}

// Cuts a message in place to its header and question, with TC set: a client that gets part of an RRset would take
// it for the whole (RFC 2181 §9), this one asks again over TCP. An OPT record of the fields (TYPE, CLASS and TTL)
// follows when they are given, without options. Returns its length, or 0 when the message has no room for it.
std::size_t CutToQuestion(std::span<std::uint8_t> message, std::size_t questionEnd,
                          std::span<const std::uint8_t> optFields) {
    std::uint8_t fields[OptFieldsSize] = {};
    const bool opt = optFields.size() == OptFieldsSize;
    if (questionEnd > message.size() || (opt && message.size() - questionEnd < OptRecordLength))
        return 0;
    if (opt)
        std::copy(optFields.begin(), optFields.end(), fields); // they may lie where the OPT record goes
    message[2] |= TruncatedBit;
    std::fill(message.begin() + 6, message.begin() + HeaderSize, 0);
    message[11] = static_cast<std::uint8_t>(opt);
    if (!opt)
        return questionEnd;
    message[questionEnd] = 0;
    std::copy(std::begin(fields), std::end(fields), message.begin() + static_cast<std::ptrdiff_t>(questionEnd) + 1);
    message[questionEnd + 1 + OptFieldsSize] = message[questionEnd + 2 + OptFieldsSize] = 0;
    return questionEnd + OptRecordLength;
}

// The answer's records: one of the question's type, and an SOA. False when a PTR's name cannot be labels.
bool WriteRecords(Writer& out, const Answer& answer) {
    if (answer.record == Answer::Record::Address) {
        out.RecordHead(TypeA, answer.timeToLive);
        out.Short(4);
        std::uint8_t address[4];
        std::memcpy(address, &answer.address, sizeof address);
        out.Bytes(address);
    } else if (answer.record == Answer::Record::Name) {
        out.RecordHead(TypePtr, answer.timeToLive);
        const std::size_t lengthAt = out.length;
        out.Short(0);
        if (!WriteLabels(out, answer.name))
            return false;
        if (!out.full) {
            const auto written = static_cast<std::uint16_t>(out.length - lengthAt - 2);
            out.room[lengthAt] = static_cast<std::uint8_t>(written >> 8);
            out.room[lengthAt + 1] = static_cast<std::uint8_t>(written);
        }
    }
    if (answer.withSoa)
        WriteSoa(out, answer.timeToLive);
    return true;
}

} // namespace

std::size_t LongestReply(const Edns& edns, bool stream) {
    if (stream)
        return LongestMessage;
    if (!edns.present)
        return ShortestLimit;
    return std::clamp<std::size_t>(edns.payloadSize, ShortestLimit, LongestDatagram);
}

std::size_t MostAnswerLength(const Query& query, const Answer& answer) {
    // An address record is 16 bytes, a PTR record at most 12 + 255, an SOA SoaLength.
    const std::size_t record = answer.record == Answer::Record::Address ? 16
                               : answer.record == Answer::Record::Name  ? 12 + 255
                                                                        : 0;
    return HeaderSize + query.questionLength + record + (answer.withSoa ? SoaLength : 0) +
           (query.edns.present ? OptRecordLength : 0);
}

std::size_t WriteAnswer(std::span<std::uint8_t> room, const Query& query, const Answer& answer, std::size_t longest) {
    Writer out{room};
    const bool record = answer.record != Answer::Record::None;
    out.Bytes(query.datagram.first(2));
    // Response, authoritative, recursion desired; recursion available, for names the table lacks are resolved
    // (RFC 1035 §4.1.1); the code.
    const std::uint8_t flags[] = {
        0x85, static_cast<std::uint8_t>(0x80 | (answer.responseCode & 0x0F)),
        0x00, 0x01,                                          // one question
        0x00, static_cast<std::uint8_t>(record),             // the answer records
        0x00, static_cast<std::uint8_t>(answer.withSoa),     // the authority records
        0x00, static_cast<std::uint8_t>(query.edns.present), // the OPT record
    };
    out.Bytes(flags);
    out.Bytes(query.datagram.subspan(QueryNameOffset, query.questionLength));
    if (!WriteRecords(out, answer))
        return 0;
    if (query.edns.present)
        WriteOpt(out, query.edns, answer.responseCode);
    if (out.full)
        return 0;
    if (out.length <= longest)
        return out.length;
    const std::size_t questionEnd = HeaderSize + query.questionLength;
    return CutToQuestion(room, questionEnd,
                         query.edns.present ? room.subspan(out.length - OptRecordLength + 1, OptFieldsSize)
                                            : std::span<const std::uint8_t>());
}

std::size_t WriteErrorHeader(std::span<std::uint8_t> room, std::span<const std::uint8_t> datagram,
                             std::uint8_t responseCode, const Edns& edns) {
    if (room.size() < HeaderSize || datagram.size() < HeaderSize)
        return 0;
    Writer out{room};
    std::fill_n(room.data(), HeaderSize, 0);
    std::copy_n(datagram.data(), 2, room.data());
    room[2] = static_cast<std::uint8_t>(ResponseBit | (datagram[2] & (OpcodeBits | RecursionDesiredBit)));
    room[3] = static_cast<std::uint8_t>(responseCode & 0x0F);
    room[11] = static_cast<std::uint8_t>(edns.present);
    out.length = HeaderSize;
    if (edns.present)
        WriteOpt(out, edns, responseCode);
    return out.full ? 0 : out.length;
}

std::size_t WritePassedOnAnswer(std::span<std::uint8_t> room, std::span<const std::uint8_t> answer,
                                std::size_t questionLength, const Edns& edns, std::size_t longest) {
    const std::size_t questionEnd = HeaderSize + questionLength;
    if (room.size() < answer.size() || answer.size() < questionEnd)
        return 0;
    std::copy(answer.begin(), answer.end(), room.begin());
    if (answer.size() <= longest)
        return answer.size();
    // The upstream's own fields: its payload size, extended code and DO bit are what the client may use.
    const OptRecords opt = FindOptRecords(answer);
    const bool keepOpt = edns.present && opt.count > 0;
    return CutToQuestion(room.first(answer.size()), questionEnd,
                         keepOpt ? opt.first.first(OptFieldsSize) : std::span<const std::uint8_t>());
}
