#include "dns/query_answer.h"

#include "dns/answer_message.h"

#include "common/ipv4.h"
#include "tests/test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::ElementsAreArray;

namespace {

std::optional<std::string> NameOf(const Bytes& datagram) {
    QueryNames names;
    const ReadDatagramResult read = ReadDatagram(datagram, names);
    return read.kind == DatagramKind::Query ? std::optional(std::string(read.query.name)) : std::nullopt;
}

Query QueryOf(const Bytes& datagram, QueryNames& names) { return ReadDatagram(datagram, names).query; }

} // namespace

TEST(ReadDatagram, WalksTheLabelsIntoADottedNameOrDropsWhatIsNoUsableQuery) {
    // Labels of 32 to 63 bytes keep their dots; bytes of 31 and less inside a label, and 0x80 and above, are dots.
    const std::string hash(32, 'k'), l(63, 'a');
    EXPECT_EQ(NameOf(MakeQuery(1, {"www", hash, "lan"})), "www." + hash + ".lan");
    EXPECT_EQ(NameOf(MakeQuery(1, {"a\x80\xff\037b"})), "a...b");
    EXPECT_EQ(NameOf(MakeQuery(1, {})), "");
    EXPECT_EQ(NameOf(MakeQuery(1, {l, l, l, l})).value().size(), 255u); // the longest name an entry holds
    // No name: one byte longer, a response, a compression pointer, a label of 64 bytes.
    Bytes response = MakeQuery(1, {"a"}), pointer = MakeQuery(1, {"a"});
    response[2] |= 0x80;
    pointer[12] = 0xC0;
    for (const Bytes& dropped :
         {MakeQuery(1, {l, l, l, l, "b"}), response, pointer, MakeQuery(1, {std::string(64, 'x')})})
        EXPECT_EQ(NameOf(dropped), std::nullopt);
    // Every cut of a valid query: never a byte read past it, and only the whole query is read.
    const Bytes query = MakeQuery(7, {"abc", "de"});
    for (std::size_t length = 0; length < query.size(); ++length)
        EXPECT_EQ(NameOf(Bytes(query.begin(), query.begin() + static_cast<long>(length))), std::nullopt) << length;
}

TEST(ReadDatagram, ReadsTheOptRecordBehindTheCountedRecordsOrTellsAFormatError) {
    QueryNames names;
    // Behind an answer record whose owner is a pointer and an authority record of the OPT type, which is no OPT
    // record there: the payload size, version and DO bit of the one in the additional section.
    Bytes query = MakeQuery(1, {"a"});
    query[7] = query[9] = 1;
    query.insert(query.end(), {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 0, 0, 4, 10, 0, 0, 1});
    query.insert(query.end(), {1, 'b', 0, 0, 41, 0, 1, 0, 0, 0, 0, 0, 0});
    query = WithOpt(query, 4096, 1, true, {0, 10, 0, 8, 1, 2, 3, 4, 5, 6, 7, 8}); // a client cookie
    const ReadDatagramResult read = ReadDatagram(query, names);
    ASSERT_EQ(read.kind, DatagramKind::Query);
    EXPECT_TRUE(read.query.edns.present && read.query.edns.dnssecOk && !read.query.edns.malformed);
    EXPECT_EQ(read.query.edns.payloadSize, 4096);
    EXPECT_EQ(read.query.edns.version, 1);
    EXPECT_FALSE(QueryOf(MakeQuery(1, {"a"}), names).edns.present);
    EXPECT_TRUE(QueryOf(WithOpt(WithOpt(MakeQuery(1, {"a"}))), names).edns.malformed); // two OPT records
    // Cut anywhere in its records, the question is still read and the records are a format error.
    for (std::size_t length = MakeQuery(1, {"a"}).size(); length < query.size(); ++length) {
        const ReadDatagramResult cut = ReadDatagram(Bytes(query.begin(), query.begin() + long(length)), names);
        EXPECT_EQ(cut.kind, DatagramKind::Query) << length;
        EXPECT_TRUE(cut.query.edns.malformed) << length;
    }
}

TEST(WriteAnswer, EchoesTheQuestionAndAnswersOneARecordWithItsTimeToLive) {
    // www.example.com: 15 characters in three labels, so n = 16 and the message is 49 bytes.
    Bytes datagram = MakeQuery(0xBEEF, {"www", "example", "com"}, 255);
    datagram[2] = 0x07; // every flag a standard query could set
    datagram[3] = 0xFF;
    QueryNames names;
    const Query query = QueryOf(datagram, names);
    std::array<std::uint8_t, 512> buffer{};
    const Answer answer{NoError, Answer::Record::Address, MakeAddress(192, 168, 1, 20), {}, false, 60};
    ASSERT_EQ(WriteAnswer(buffer, query, answer), 49u);
    EXPECT_THAT(Bytes(buffer.begin(), buffer.begin() + 49),
                ElementsAreArray<std::uint8_t>({
                    0xBE, 0xEF,                                     // ID, copied
                    0x85, 0x80,                                     // response, AA, RD, RA; no error
                    0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, // one question, one answer
                    3,    'w',  'w',  'w',  7,    'e',  'x',  'a',  'm', 'p', 'l', 'e', 3, 'c', 'o', 'm', 0, // QNAME
                    0x00, 0xFF, 0x00, 0x01,             // QTYPE ANY and QCLASS IN, as asked
                    0xC0, 0x0C,                         // NAME: pointer to offset 12
                    0x00, 0x01, 0x00, 0x01,             // TYPE A, CLASS IN
                    0x00, 0x00, 0x00, 0x3C,             // TTL 60
                    0x00, 0x04, 0xC0, 0xA8, 0x01, 0x14, // RDLENGTH, RDATA 192.168.1.20
                }));
    Bytes tooSmall(48);
    EXPECT_EQ(WriteAnswer(tooSmall, query, answer), 0u); // never written past the buffer
}

TEST(WriteAnswer, SaysANameDoesNotExistWithAnSoaThatLetsItBeKept) {
    QueryNames names;
    std::array<std::uint8_t, 512> buffer{};
    const Bytes datagram = MakeQuery(0x0102, {"no", "lan"}, 15);
    Answer answer = Answer::Code(NoSuchName);
    answer.withSoa = true;
    answer.timeToLive = 300;
    ASSERT_EQ(WriteAnswer(buffer, QueryOf(datagram, names), answer), 24u + 47u);
    EXPECT_THAT(Bytes(buffer.begin(), buffer.begin() + 71),
                ElementsAreArray<std::uint8_t>({
                    0x01, 0x02,                                     // ID, copied
                    0x85, 0x83,                                     // response, AA, RD, RA; no such name
                    0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, // one question, one authority record
                    2,    'n',  'o',  3,    'l',  'a',  'n',  0,    // QNAME
                    0x00, 0x0F, 0x00, 0x01,                         // QTYPE MX, QCLASS IN, as asked
                    0xC0, 0x0C, 0x00, 0x06, 0x00, 0x01,             // the question's name: SOA, IN
                    0x00, 0x00, 0x01, 0x2C, 0x00, 0x23,             // TTL 300, RDLENGTH 35
                    0xC0, 0x0C,                                     // MNAME
                    10,   'h',  'o',  's',  't',  'm',  'a',  's',  't', 'e', 'r',  0xC0, 0x0C, // RNAME
                    0,    0,    0,    1,    0,    0,    0x0E, 0x10, 0,   0,   0x02, 0x58, // SERIAL, REFRESH, RETRY
                    0,    1,    0x51, 0x80, 0,    0,    0x01, 0x2C,                       // EXPIRE, MINIMUM 300
                }));
    // A PTR record names the entry in labels; a name that labels cannot carry is no answer.
    const Bytes reverse = MakeQuery(7, {"20", "1", "168", "192", "in-addr", "arpa"}, 12);
    const Query ptr = QueryOf(reverse, names);
    const std::size_t length = WriteAnswer(buffer, ptr, {NoError, Answer::Record::Name, 0, "printer.lan", false, 60});
    EXPECT_THAT(Bytes(buffer.begin() + long(length) - 13, buffer.begin() + long(length)),
                ElementsAreArray<std::uint8_t>({7, 'p', 'r', 'i', 'n', 't', 'e', 'r', 3, 'l', 'a', 'n', 0}));
    EXPECT_EQ(WriteAnswer(buffer, ptr, {NoError, Answer::Record::Name, 0, "a..b", false, 60}), 0u);
    // A datagram that is no query of one question gets a bare header: its ID, opcode and RD, and the code.
    Bytes notify = MakeQuery(0x0A0B, {"zone"});
    notify[2] = 0x20 | 0x01; // NOTIFY, recursion desired
    EXPECT_EQ(ReadDatagram(notify, names).kind, DatagramKind::OtherOpcode);
    ASSERT_EQ(WriteErrorHeader(buffer, notify, NotImplemented), 12u);
    EXPECT_THAT(Bytes(buffer.begin(), buffer.begin() + 12),
                ElementsAreArray<std::uint8_t>({0x0A, 0x0B, 0xA1, 0x04, 0, 0, 0, 0, 0, 0, 0, 0}));
    Bytes two = MakeQuery(1, {"a"});
    two[5] = 2;
    EXPECT_EQ(ReadDatagram(two, names).kind, DatagramKind::NotOneQuestion);
    two[2] |= 0x80;
    EXPECT_EQ(ReadDatagram(two, names).kind, DatagramKind::Response);
    EXPECT_EQ(ReadDatagram(Bytes(11, 0), names).kind, DatagramKind::Malformed);
}

TEST(AppendQueryLine, ShowsControlBytesAsQuestionMarksOnATerminalOnlyAndAnyTypeButA) {
    std::string console;
    AppendQueryLine(console, MakeAddress(10, 0, 0, 7), "a\177b", TypeA, "192.168.100.255", false);
    AppendQueryLine(console, MakeAddress(1, 2, 3, 4), "x", 28, "No data.", false);
    AppendQueryLine(console, 1, "a\x1b]0;x\x07", 4242, "Failure.", true);
    EXPECT_EQ(console, "> 10.0.0.7: a\177b -> 192.168.100.255\n> 1.2.3.4: x AAAA -> No data.\n"
                       "> 1.0.0.0: a?]0;x? TYPE4242 -> Failure.\n");
}
