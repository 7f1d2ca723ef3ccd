#include "dns/query_answer.h"

#include "common/ipv4.h"
#include "tests/test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::ElementsAreArray;

namespace {

std::optional<std::string> NameOf(const Bytes& datagram) {
    HostName store{};
    const auto query = ReadQuery(datagram, store);
    return query ? std::optional(std::string(query->name)) : std::nullopt;
}

} // namespace

TEST(ReadQuery, WalksTheLabelsIntoADottedName) {
    EXPECT_EQ(NameOf(MakeQuery(1, {"xyz", "pq", "r"})), "xyz.pq.r");
    EXPECT_EQ(NameOf(MakeQuery(1, {})), "");
    // Labels of 32 to 63 bytes keep their dots; bytes of 31 and less inside a label, and 0x80 and above, are dots.
    const std::string hash(32, 'k');
    EXPECT_EQ(NameOf(MakeQuery(1, {"www", hash, "lan"})), "www." + hash + ".lan");
    EXPECT_EQ(NameOf(MakeQuery(1, {"a\x80\xff\x1f"
                                   "b"})),
              "a...b");
    // The longest names that fit an entry, 255 bytes, and one byte more.
    const std::string l(63, 'a');
    EXPECT_EQ(NameOf(MakeQuery(1, {l, l, l, l})).value().size(), 255u);
    EXPECT_EQ(NameOf(MakeQuery(1, {l, l, l, l, "b"})), std::nullopt);
}

TEST(ReadQuery, DropsWhatIsNoUsableQuery) {
    Bytes response = MakeQuery(1, {"a"});
    response[2] |= 0x80;
    Bytes pointer = MakeQuery(1, {"a"});
    pointer[12] = 0xC0;
    Bytes reserved = MakeQuery(1, {std::string(64, 'x')});
    for (const Bytes& dropped : {response, pointer, reserved})
        EXPECT_EQ(NameOf(dropped), std::nullopt);
    // Every cut of a valid query: never a byte read past it, and only the whole query is read.
    const Bytes query = MakeQuery(7, {"abc", "de"});
    for (std::size_t length = 0; length < query.size(); ++length)
        EXPECT_EQ(NameOf(Bytes(query.begin(), query.begin() + static_cast<long>(length))), std::nullopt) << length;
}

TEST(WriteAnswerMessage, EchoesTheQuestionAndAnswersOneARecord) {
    // www.example.com: 15 characters in three labels, so n = 16 and the message is 49 bytes.
    Bytes datagram = MakeQuery(0xBEEF, {"www", "example", "com"}, 28);
    datagram[2] = 0x7F; // every flag a query could set
    datagram[3] = 0xFF;
    HostName store{};
    std::array<std::uint8_t, AnswerBufferSize> buffer{};
    ASSERT_EQ(WriteAnswerMessage(buffer, *ReadQuery(datagram, store), MakeAddress(192, 168, 1, 20)), 49u);
    EXPECT_THAT(Bytes(buffer.begin(), buffer.begin() + 49),
                ElementsAreArray<std::uint8_t>({
                    0xBE, 0xEF,                                     // ID, copied
                    0x85, 0x00,                                     // response, authoritative, RD; no error
                    0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, // one question, one answer
                    3,    'w',  'w',  'w',  7,    'e',  'x',  'a',  'm', 'p', 'l', 'e', 3, 'c', 'o', 'm', 0, // QNAME
                    0x00, 0x1C, 0x00, 0x01,             // QTYPE AAAA and QCLASS IN, as asked
                    0xC0, 0x0C,                         // NAME: pointer to offset 12
                    0x00, 0x01, 0x00, 0x01,             // TYPE A, CLASS IN
                    0x00, 0x89, 0x6B, 0xB0,             // TTL 9006000
                    0x00, 0x04, 0xC0, 0xA8, 0x01, 0x14, // RDLENGTH, RDATA 192.168.1.20
                }));
    // Class CH is echoed too; the record stays class IN. Never written past the buffer.
    Bytes chaos = MakeQuery(1, {"a"});
    chaos.back() = 3;
    const Query query = *ReadQuery(chaos, store);
    ASSERT_EQ(WriteAnswerMessage(buffer, query, 1), 35u);
    EXPECT_THAT(Bytes(buffer.begin() + 15, buffer.begin() + 25),
                ElementsAreArray<std::uint8_t>({0x00, 0x01, 0x00, 0x03, 0xC0, 0x0C, 0x00, 0x01, 0x00, 0x01}));
    Bytes tooSmall(34);
    EXPECT_EQ(WriteAnswerMessage(tooSmall, query, 1), 0u);
}

TEST(WriteFailureMessage, SaysServerFailureForTheQuestionAsked) {
    HostName store{};
    std::array<std::uint8_t, AnswerBufferSize> buffer{};
    const Bytes datagram = MakeQuery(0x0102, {"no", "lan"}, 15);
    ASSERT_EQ(WriteFailureMessage(buffer, *ReadQuery(datagram, store)), 24u);
    EXPECT_THAT(Bytes(buffer.begin(), buffer.begin() + 24),
                ElementsAreArray<std::uint8_t>({
                    0x01, 0x02,                                     // ID, copied
                    0x85, 0x02,                                     // response, authoritative, RD; server failure
                    0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // one question, no records
                    2,    'n',  'o',  3,    'l',  'a',  'n',  0,    // QNAME
                    0x00, 0x0F, 0x00, 0x01,                         // QTYPE MX, QCLASS IN, as asked
                }));
}

TEST(AnswerFromTable, AnswersAddressEntriesAndSaysWhatToLookUp) {
    ServiceStatics statics;
    LocalAddresses.addresses = {MakeAddress(127, 0, 0, 1), MakeAddress(192, 168, 0, 2)};
    LocalAddresses.defaultAddress = MakeAddress(100, 64, 0, 1);
    AppendResolution(*Resolutions, {"printer", {}, 0, MakeAddress(192, 168, 1, 20)});
    AppendResolution(*Resolutions, {"gateway", {}, 0, 0});
    AppendResolution(*Resolutions, {"files", "nas.lan", ForwardKind, 0});
    AppendResolution(*Resolutions, {"odd", {}, 7, MakeAddress(10, 9, 9, 9)}); // any kind but 1
    using Outcome = TableAnswer::Outcome;
    const std::uint32_t client = MakeAddress(192, 168, 0, 9);
    EXPECT_EQ(AnswerFromTable("printer", client).address, MakeAddress(192, 168, 1, 20));
    EXPECT_EQ(AnswerFromTable("odd", client).address, MakeAddress(10, 9, 9, 9));
    EXPECT_EQ(AnswerFromTable("gateway", client).address, MakeAddress(192, 168, 0, 2));
    EXPECT_EQ(AnswerFromTable("gateway", MakeAddress(127, 3, 0, 1)).address, MakeAddress(127, 0, 0, 1));
    EXPECT_EQ(AnswerFromTable("gateway", MakeAddress(172, 16, 0, 4)).address, MakeAddress(100, 64, 0, 1));
    const TableAnswer forward = AnswerFromTable("files", client);
    EXPECT_EQ(forward.outcome, Outcome::Forward);
    EXPECT_EQ(forward.lookupName, "nas.lan");
    // Letter case matters: "Printer" is a name the table lacks.
    const TableAnswer learn = AnswerFromTable("Printer", client);
    EXPECT_EQ(learn.outcome, Outcome::Learn);
    EXPECT_EQ(learn.lookupName, "Printer");
}

TEST(AppendQueryLine, ShowsControlBytesAsQuestionMarksOnATerminalOnly) {
    std::string console;
    AppendQueryLine(console, MakeAddress(10, 0, 0, 7),
                    "a\x7f"
                    "b",
                    MakeAddress(192, 168, 100, 255));
    AppendQueryLine(console, MakeAddress(1, 2, 3, 4), "x", std::nullopt);
    EXPECT_EQ(console, "> 10.0.0.7: a\x7f"
                       "b -> 192.168.100.255\n> 1.2.3.4: x -> Failure.\n");
    ConsoleIsTerminal = true;
    console.clear();
    AppendQueryLine(console, 1, "a\x1b]0;x\x07", 0);
    ConsoleIsTerminal = false;
    EXPECT_EQ(console, "> 1.0.0.0: a?]0;x? -> 0.0.0.0\n");
}
