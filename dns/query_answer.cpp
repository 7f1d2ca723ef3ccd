#include "dns/query_answer.h"

#include "common/ipv4.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

namespace {

constexpr std::size_t HeaderSize = 12;
constexpr std::size_t TypeAndClassSize = 4;
constexpr std::uint8_t ResponseBit = 0x80;
constexpr std::uint8_t LongestLabel = 63;
constexpr std::uint8_t OpcodeBits = 0x78;

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
    query.type = static_cast<std::uint16_t>(datagram[offset] << 8 | datagram[offset + 1]);
    query.klass = static_cast<std::uint16_t>(datagram[offset + 2] << 8 | datagram[offset + 3]);
    return true;
}

} // namespace

namespace {

constexpr std::size_t RecordFieldsSize = 10; // TYPE, CLASS, TTL, RDLENGTH
constexpr std::uint8_t PointerBits = 0xC0;
constexpr std::uint8_t DnssecOkBit = 0x80;

std::size_t Count(std::span<const std::uint8_t> message, std::size_t at) {
    return static_cast<std::size_t>(message[at] << 8 | message[at + 1]);
}

// The offset behind the name at `offset`, which ends with the root or a compression pointer; 0 when it runs past
// the message or holds a reserved label type.
std::size_t SkipName(std::span<const std::uint8_t> message, std::size_t offset) {
    while (offset < message.size()) {
        const std::uint8_t length = message[offset];
        if (length == 0)
            return offset + 1;
        if ((length & PointerBits) == PointerBits)
            return message.size() - offset >= 2 ? offset + 2 : 0;
        if (length > LongestLabel)
            return 0;
        offset += 1 + std::size_t{length};
    }
    return 0;
}

// The OPT record's fields as the answer needs them. Several OPT records, or records that cannot be read, are a
// format error (RFC 6891 §6.1.1).
Edns ReadEdns(std::span<const std::uint8_t> datagram) {
    Edns edns;
    if (std::all_of(datagram.begin() + 6, datagram.begin() + HeaderSize, [](std::uint8_t byte) { return byte == 0; }))
        return edns; // no records: a query as most stubs send it, read no further
    const OptRecords opt = FindOptRecords(datagram);
    edns.malformed = opt.count > 1 || !opt.whole;
    if (opt.count == 0)
        return edns;
    edns.present = true;
    edns.payloadSize = static_cast<std::uint16_t>(Count(opt.first, 2));
    edns.version = opt.first[5];
    edns.dnssecOk = (opt.first[6] & DnssecOkBit) != 0;
    return edns;
}

} // namespace

OptRecords FindOptRecords(std::span<const std::uint8_t> message) {
    OptRecords found;
    if (message.size() < HeaderSize)
        return {{}, 0, false};
    std::size_t offset = HeaderSize;
    // Each question and record moves on by one byte at least, or ends the walk.
    for (std::size_t i = Count(message, 4); i > 0; --i) {
        offset = SkipName(message, offset);
        if (offset == 0 || message.size() - offset < TypeAndClassSize)
            return {found.first, found.count, false};
        offset += TypeAndClassSize;
    }
    const std::size_t beforeAdditional = Count(message, 6) + Count(message, 8);
    for (std::size_t i = 0; i < beforeAdditional + Count(message, 10); ++i) {
        offset = SkipName(message, offset);
        if (offset == 0 || message.size() - offset < RecordFieldsSize)
            return {found.first, found.count, false};
        const std::size_t length = RecordFieldsSize + Count(message, offset + 8);
        if (length > message.size() - offset)
            return {found.first, found.count, false};
        if (i >= beforeAdditional && Count(message, offset) == TypeOpt && found.count++ == 0)
            found.first = message.subspan(offset, length);
        offset += length;
    }
    return found;
}

ReadDatagramResult ReadDatagram(std::span<const std::uint8_t> datagram, QueryNames& names) {
    ReadDatagramResult result{datagram, DatagramKind::Malformed, {}};
    if (datagram.size() < HeaderSize)
        return result;
    if ((datagram[2] & ResponseBit) != 0)
        return {datagram, DatagramKind::Response, {}};
    if ((datagram[2] & OpcodeBits) != 0)
        result.kind = DatagramKind::OtherOpcode;
    else if (datagram[4] != 0 || datagram[5] != 1)
        result.kind = DatagramKind::NotOneQuestion;
    else if (ReadQuestion(datagram, names, result.query))
        result.kind = DatagramKind::Query;
    else
        return result;
    result.query.edns = ReadEdns(datagram);
    return result;
}

std::span<const std::uint8_t> QueryHead(const Query& query) {
    return query.datagram.first(QueryNameOffset + query.questionLength);
}

std::optional<ResolutionEntry> FindAnsweringEntry(const ResolutionTable& table, const LocalDomains& domains,
                                                  std::string_view queryName) {
    if (std::optional<ResolutionEntry> entry = FindResolution(table, queryName))
        return entry;
    const std::string_view singleLabel = domains.SingleLabelName(queryName);
    return singleLabel.empty() ? std::nullopt : FindResolution(table, singleLabel);
}

TableAnswer AnswerFromTable(const ResolutionTable& table, const LocalAddressList& addresses,
                            const LocalDomains& domains, std::string_view queryName, std::uint32_t clientAddress) {
    const std::optional<ResolutionEntry> entry = FindAnsweringEntry(table, domains, queryName);
    if (!entry)
        return {TableAnswer::Outcome::Learn, 0, false, queryName};
    if (entry->kind == ForwardKind)
        return {TableAnswer::Outcome::Forward, 0, false, entry->target};
    if (entry->address == 0)
        return {TableAnswer::Outcome::Answered, ChooseServerAddress(addresses, clientAddress), true, {}};
    return {TableAnswer::Outcome::Answered, entry->address, false, {}};
}

namespace {

// The type's mnemonic, or "TYPEn" for one without (RFC 3597 §5).
std::string TypeText(std::uint16_t type) {
    static constexpr std::pair<std::uint16_t, const char*> Known[] = {
        {1, "A"},     {2, "NS"},      {5, "CNAME"}, {6, "SOA"},    {12, "PTR"},  {15, "MX"},
        {16, "TXT"},  {28, "AAAA"},   {33, "SRV"},  {35, "NAPTR"}, {43, "DS"},   {46, "RRSIG"},
        {47, "NSEC"}, {48, "DNSKEY"}, {64, "SVCB"}, {65, "HTTPS"}, {255, "ANY"}, {257, "CAA"}};
    for (const auto& [number, text] : Known)
        if (number == type)
            return text;
    return "TYPE" + std::to_string(type);
}

} // namespace

void AppendQueryLine(std::string& console, std::uint32_t clientAddress, std::string_view queryName, std::uint16_t type,
                     std::string_view said, bool terminal) {
    console += "> ";
    console += DottedAddress(clientAddress).data();
    console += ": ";
    AppendConsoleText(console, queryName.empty() ? "." : queryName, terminal); // the root has no label to show
    if (type != TypeA) {
        console += ' ';
        console += TypeText(type);
    }
    console += " -> ";
    console += said;
    console += '\n';
}
