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

TEST(WriteAnswer, EchoesTheQuestionAndAnswersOneARecordWithItsTimeToLiveAndAnOptRecordOfItsOwn) {
    // www.example.com: 15 characters in three labels, so n = 16; asked with an OPT record of 4096 bytes, DO and a
    // cookie, the message is 49 bytes and ours.
    Bytes datagram = WithOpt(MakeQuery(0xBEEF, {"www", "example", "com"}, 255), 4096, 0, true,
                             {0, 10, 0, 8, 1, 2, 3, 4, 5, 6, 7, 8});
    datagram[2] = 0x07; // every flag a standard query could set
    datagram[3] = 0xFF;
    QueryNames names;
    const Query query = QueryOf(datagram, names);
    std::array<std::uint8_t, 512> buffer{};
    const Answer answer{NoError, Answer::Record::Address, MakeAddress(192, 168, 1, 20), {}, false, 60};
    ASSERT_EQ(WriteAnswer(buffer, query, answer, 512), 60u);
    EXPECT_THAT(Bytes(buffer.begin(), buffer.begin() + 60),
                ElementsAreArray<std::uint8_t>({
                    0xBE, 0xEF,                                     // ID, copied
                    0x85, 0x80,                                     // response, AA, RD, RA; no error
                    0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, // one question, one answer, one additional
                    3,    'w',  'w',  'w',  7,    'e',  'x',  'a',  'm', 'p', 'l', 'e', 3, 'c', 'o', 'm', 0, // QNAME
                    0x00, 0xFF, 0x00, 0x01,             // QTYPE ANY and QCLASS IN, as asked
                    0xC0, 0x0C,                         // NAME: pointer to offset 12
                    0x00, 0x01, 0x00, 0x01,             // TYPE A, CLASS IN
                    0x00, 0x00, 0x00, 0x3C,             // TTL 60
                    0x00, 0x04, 0xC0, 0xA8, 0x01, 0x14, // RDLENGTH, RDATA 192.168.1.20
                    0x00, 0x00, 0x29, 0x04, 0xD0,       // the root, OPT, a payload size of 1232
                    0x00, 0x00, 0x80, 0x00, 0x00, 0x00, // extended code and version 0, DO, no options
                }));
    Bytes tooSmall(59);
    EXPECT_EQ(WriteAnswer(tooSmall, query, answer, 512), 0u); // never written past the buffer
}

TEST(WriteAnswer, SaysANameDoesNotExistWithAnSoaThatLetsItBeKept) {
    QueryNames names;
    std::array<std::uint8_t, 512> buffer{};
    const Bytes datagram = MakeQuery(0x0102, {"no", "lan"}, 15);
    Answer answer = Answer::Code(NoSuchName);
    answer.withSoa = true;
    answer.timeToLive = 300;
    ASSERT_EQ(WriteAnswer(buffer, QueryOf(datagram, names), answer, 512), 24u + 47u);
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
    const std::size_t length =
        WriteAnswer(buffer, ptr, {NoError, Answer::Record::Name, 0, "printer.lan", false, 60}, 512);
    EXPECT_THAT(Bytes(buffer.begin() + long(length) - 13, buffer.begin() + long(length)),
                ElementsAreArray<std::uint8_t>({7, 'p', 'r', 'i', 'n', 't', 'e', 'r', 3, 'l', 'a', 'n', 0}));
    EXPECT_EQ(WriteAnswer(buffer, ptr, {NoError, Answer::Record::Name, 0, "a..b", false, 60}, 512), 0u);
    // A datagram that is no query of one question gets a bare header: its ID, opcode and RD, the code, and an OPT
    // record when it had one.
    Bytes notify = WithOpt(MakeQuery(0x0A0B, {"zone"}), 4096);
    notify[2] = 0x20 | 0x01; // NOTIFY, recursion desired
    const ReadDatagramResult read = ReadDatagram(notify, names);
    EXPECT_EQ(read.kind, DatagramKind::OtherOpcode);
    ASSERT_EQ(WriteErrorHeader(buffer, notify, NotImplemented, read.query.edns), 23u);
    EXPECT_THAT(Bytes(buffer.begin(), buffer.begin() + 23),
                ElementsAreArray<std::uint8_t>({0x0A, 0x0B, 0xA1, 0x04, 0,    0, 0, 0, 0, 0, 0, 1, // one OPT record
                                                0,    0,    41,   0x04, 0xD0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(WriteErrorHeader(buffer, MakeQuery(1, {"a"}), FormatError, {}), 12u);
    Bytes two = MakeQuery(1, {"a"});
    two[5] = 2;
    EXPECT_EQ(ReadDatagram(two, names).kind, DatagramKind::NotOneQuestion);
    two[2] |= 0x80;
    EXPECT_EQ(ReadDatagram(two, names).kind, DatagramKind::Response);
    EXPECT_EQ(ReadDatagram(Bytes(11, 0), names).kind, DatagramKind::Malformed);
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

TEST(WriteAnswer, SaysBadversInTheOptRecordAndCutsAnAnswerTheClientCannotTake) {
    QueryNames names;
    std::array<std::uint8_t, 1024> buffer{};
    // A version above ours: BADVERS, 0 in the header and 16 >> 4 in the OPT record.
    const Bytes newerDatagram = WithOpt(MakeQuery(0x0102, {"a"}), 4096, 1);
    ASSERT_EQ(WriteAnswer(buffer, QueryOf(newerDatagram, names), Answer::Code(BadVersion), 512), 30u);
    EXPECT_EQ(buffer[3], 0x80);
    EXPECT_THAT(Bytes(buffer.begin() + 19, buffer.begin() + 30),
                ElementsAreArray<std::uint8_t>({0, 0, 41, 0x04, 0xD0, 1, 0, 0, 0, 0, 0}));
    // A PTR of a long name to a long question passes 512 bytes: in a datagram without EDNS, or within a payload size
    // below 512, which counts as 512, the header and question alone with TC, and the OPT record when asked with one;
    // whole within 1232 bytes and over TCP.
    const std::string l(63, 'x'), last(61, 'y'), name = l + "." + l + "." + l + "." + last; // 255 bytes as labels
    const Bytes reverse = MakeQuery(7, {l, l, l, last}, TypePtr), smallDatagram = WithOpt(reverse, 100);
    const Answer ptr{NoError, Answer::Record::Name, 0, name, false, 60};
    const Query plain = QueryOf(reverse, names), small = QueryOf(smallDatagram, names);
    ASSERT_EQ(WriteAnswer(buffer, plain, ptr, LongestReply(plain.edns, false)), reverse.size());
    EXPECT_THAT(Bytes(buffer.begin() + 2, buffer.begin() + 12),
                ElementsAreArray<std::uint8_t>({0x87, 0x80, 0, 1, 0, 0, 0, 0, 0, 0})); // TC, no records
    ASSERT_EQ(WriteAnswer(buffer, small, ptr, LongestReply(small.edns, false)), reverse.size() + 11);
    EXPECT_THAT(Bytes(buffer.begin() + long(reverse.size()) - 2, buffer.begin() + long(reverse.size()) + 11),
                ElementsAreArray<std::uint8_t>({0, 1, 0, 0, 41, 0x04, 0xD0, 0, 0, 0, 0, 0, 0})); // CLASS IN, OPT
    const std::size_t whole = reverse.size() + 12 + 255;                                         // 538
    EXPECT_EQ(WriteAnswer(buffer, QueryOf(WithOpt(reverse), names), ptr, 1232), whole + 11);
    EXPECT_EQ(WriteAnswer(buffer, plain, ptr, LongestReply(plain.edns, true)), whole);
}

TEST(WritePassedOnAnswer, CutsAnAnswerTheClientCannotTakeKeepingTheUpstreamsOptRecordWithoutItsOptions) {
    // The upstream's TXT answer of 600 bytes of data, with its OPT record of 4096 bytes, DO and a padding option.
    Bytes answer = MakeQuery(0x0A0B, {"big"}, 16);
    answer[2] = 0x81;
    answer[3] = 0x80;
    answer[7] = 1;
    answer.insert(answer.end(), {0xC0, 0x0C, 0, 16, 0, 1, 0, 0, 0, 30, 0x02, 0x58});
    answer.insert(answer.end(), 600, 't');
    answer = WithOpt(answer, 4096, 0, true, {0, 12, 0, 4, 0, 0, 0, 0});
    Bytes room(answer.size());
    ASSERT_EQ(WritePassedOnAnswer(room, answer, 9, Edns{.present = true}, 512), 32u);
    EXPECT_THAT(Bytes(room.begin(), room.begin() + 32),
                ElementsAreArray<std::uint8_t>({
                    0x0A, 0x0B, 0x83, 0x80, 0, 1, 0,  0,    0, 0, 0, 1, // TC, one OPT record
                    3,    'b',  'i',  'g',  0, 0, 16, 0,    1,          // the question
                    0,    0,    41,   0x10, 0, 0, 0,  0x80, 0, 0, 0,    // the upstream's OPT record without its option
                }));
}

TEST(AppendQueryLine, ShowsControlBytesAsQuestionMarksOnATerminalOnlyAndAnyTypeButA) {
    std::string console;
    AppendQueryLine(console, MakeAddress(10, 0, 0, 7), "a\177b", TypeA, "192.168.100.255", false);
    AppendQueryLine(console, MakeAddress(1, 2, 3, 4), "x", 28, "No data.", false);
    AppendQueryLine(console, 1, "a\x1b]0;x\x07", 4242, "Failure.", true);
    EXPECT_EQ(console, "> 10.0.0.7: a\177b -> 192.168.100.255\n> 1.2.3.4: x AAAA -> No data.\n"
                       "> 1.0.0.0: a?]0;x? TYPE4242 -> Failure.\n");
}
