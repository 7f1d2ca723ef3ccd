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
