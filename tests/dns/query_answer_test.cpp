#include "dns/query_answer.h"

#include "common/ipv4.h"
#include "resolutions/resolution_file.h"
#include "tests/test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using Bytes = std::vector<std::uint8_t>;

namespace {

const std::uint32_t Client = MakeAddress(192, 168, 0, 9);

struct Answered {
    Bytes message;
    std::string line;
    std::uint32_t Address() const {
        return message.size() < 4
                   ? 0
                   : MakeAddress(message.end()[-4], message.end()[-3], message.end()[-2], message.end()[-1]);
    }
};

Answered Ask(std::initializer_list<std::string_view> labels, std::string_view name, std::uint32_t client = Client) {
    std::array<std::uint8_t, AnswerBufferSize> buffer{};
    testing::internal::CaptureStdout();
    const std::size_t length = AnswerQuery(buffer, MakeQuery(1, labels), name, client, ResolveFake);
    return {{buffer.begin(), buffer.begin() + static_cast<long>(length)}, testing::internal::GetCapturedStdout()};
}

} // namespace

TEST(WriteAnswerMessage, EchoesTheQuestionAndAnswersOneARecord) {
    // www.example.com: 15 characters in three labels, so n = 16 and the message is 49 bytes.
    Bytes query = MakeQuery(0xBEEF, {"www", "example", "com"}, 28);
    query[2] = 0x7F; // every flag a query could set
    query[3] = 0xFF;
    std::array<std::uint8_t, AnswerBufferSize> buffer{};
    ASSERT_EQ(WriteAnswerMessage(buffer, query, MakeAddress(192, 168, 1, 20)), 49u);
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
    // Class CH is echoed too; the record stays class IN.
    Bytes chaos = MakeQuery(1, {"a"});
    chaos.back() = 3;
    ASSERT_EQ(WriteAnswerMessage(buffer, chaos, 1), 35u);
    EXPECT_THAT(Bytes(buffer.begin() + 15, buffer.begin() + 25),
                ElementsAreArray<std::uint8_t>({0x00, 0x01, 0x00, 0x03, 0xC0, 0x0C, 0x00, 0x01, 0x00, 0x01}));

    // Never a byte read past the datagram or written past the buffer: "abc.de" is n = 7, 40 bytes.
    const Bytes small = MakeQuery(7, {"abc", "de"});
    for (std::size_t length = 0; length <= small.size(); ++length)
        EXPECT_EQ(WriteAnswerMessage(buffer, Bytes(small.begin(), small.begin() + static_cast<long>(length)), 1),
                  length == small.size() ? 40u : 0u)
            << "cut at " << length;
    Bytes tooSmall(39), exact(40);
    EXPECT_EQ(WriteAnswerMessage(tooSmall, small, 1), 0u);
    EXPECT_EQ(WriteAnswerMessage(exact, small, 1), 40u);
}

TEST(WriteFailureMessage, SaysServerFailureForTheQuestionAsked) {
    std::array<std::uint8_t, AnswerBufferSize> buffer{};
    ASSERT_EQ(WriteFailureMessage(buffer, MakeQuery(0x0102, {"no", "lan"}, 15)), 24u);
    EXPECT_THAT(Bytes(buffer.begin(), buffer.begin() + 24),
                ElementsAreArray<std::uint8_t>({
                    0x01, 0x02,                                     // ID, copied
                    0x85, 0x02,                                     // response, authoritative, RD; server failure
                    0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // one question, no records
                    2,    'n',  'o',  3,    'l',  'a',  'n',  0,    // QNAME
                    0x00, 0x0F, 0x00, 0x01,                         // QTYPE MX, QCLASS IN, as asked
                }));
}

TEST(AnswerQuery, AnswersFixedLocalAndForwardEntries) {
    ServiceStatics statics;
    LocalAddresses.addresses = {MakeAddress(127, 0, 0, 1), MakeAddress(192, 168, 0, 2)};
    LocalAddresses.defaultAddress = MakeAddress(100, 64, 0, 1);
    AppendResolution(*Resolutions, MakeAddressEntry("printer", MakeAddress(192, 168, 1, 20)));
    AppendResolution(*Resolutions, MakeAddressEntry("gateway", 0));
    AppendResolution(*Resolutions, MakeForwardEntry("files", "nas.lan"));
    AppendResolution(*Resolutions, MakeAddressEntry("odd", MakeAddress(10, 9, 9, 9), 7)); // any kind but 1
    FakeHosts["nas.lan"] = MakeAddress(192, 168, 1, 30);

    const Answered fixed = Ask({"printer"}, "printer");
    EXPECT_EQ(fixed.line, "> 192.168.0.9: printer -> 192.168.1.20\n");
    EXPECT_EQ(fixed.Address(), MakeAddress(192, 168, 1, 20));
    EXPECT_EQ(Ask({"gateway"}, "gateway").Address(), MakeAddress(192, 168, 0, 2));
    EXPECT_EQ(Ask({"gateway"}, "gateway", MakeAddress(127, 3, 0, 1)).Address(), MakeAddress(127, 0, 0, 1));
    EXPECT_EQ(Ask({"gateway"}, "gateway", MakeAddress(172, 16, 0, 4)).line, "> 172.16.0.4: gateway -> 100.64.0.1\n");
    EXPECT_EQ(Ask({"odd"}, "odd").Address(), MakeAddress(10, 9, 9, 9));

    // A forward entry asks for its target every time; nothing is stored.
    EXPECT_EQ(Ask({"files"}, "files").line, "> 192.168.0.9: files -> 192.168.1.30\n");
    FakeHosts["nas.lan"] = MakeAddress(192, 168, 1, 31);
    EXPECT_EQ(Ask({"files"}, "files").Address(), MakeAddress(192, 168, 1, 31));
    FakeHosts.clear();
    const Answered lost = Ask({"files"}, "files");
    EXPECT_EQ(lost.line, "> 192.168.0.9: files -> Failure.\n");
    EXPECT_EQ(lost.message.size(), 12u + 11u);
    EXPECT_EQ(lost.message[3], 0x02);
    EXPECT_EQ(FakeLookups, 3);
    EXPECT_EQ(Resolutions->entries.size(), 4u);
    EXPECT_TRUE(ReadBytes(statics.FileName()).empty());
}

TEST(AnswerQuery, LearnsAnUnknownNameOnce) {
    ServiceStatics statics;
    AppendResolution(*Resolutions, MakeAddressEntry("Printer", MakeAddress(192, 168, 1, 20)));
    FakeHosts["printer"] = MakeAddress(192, 168, 1, 99);

    // Letter case matters: "printer" is not "Printer", so it is asked and learned as a second entry.
    const Answered first = Ask({"printer"}, "printer");
    EXPECT_EQ(first.line, "> 192.168.0.9: printer -> 192.168.1.99\n");
    EXPECT_EQ(first.Address(), MakeAddress(192, 168, 1, 99));
    ASSERT_THAT(EntryNames(*Resolutions), ElementsAre("Printer", "printer"));
    EXPECT_EQ(Resolutions->entries[1]->kind, 0u);
    EXPECT_THAT(ReadBytes(statics.FileName()), ElementsAreArray(SerializeResolutionTable(*Resolutions)));

    // Then from the table: the resolver is not asked and the file not written again.
    FakeHosts["printer"] = MakeAddress(1, 1, 1, 1);
    std::filesystem::remove(statics.FileName());
    EXPECT_EQ(Ask({"printer"}, "printer").Address(), MakeAddress(192, 168, 1, 99));
    EXPECT_EQ(FakeLookups, 1);
    EXPECT_TRUE(ReadBytes(statics.FileName()).empty());

    // Nobody knows it: a Failure line, nothing added.
    const Answered unknown = Ask({"nobody", "lan"}, "nobody.lan");
    EXPECT_EQ(unknown.line, "> 192.168.0.9: nobody.lan -> Failure.\n");
    EXPECT_EQ(unknown.message[3], 0x02);
    EXPECT_EQ(Resolutions->entries.size(), 2u);
}

TEST(AnswerQuery, ReportsAFailedSaveAndStillAnswers) {
    ServiceStatics statics;
    const std::string blocked = statics.SetFileName("no/such/dir.drf");
    FakeHosts["nas"] = MakeAddress(10, 0, 0, 7);
    const Answered answered = Ask({"nas"}, "nas");
    EXPECT_EQ(answered.line, "> 192.168.0.9: nas -> 10.0.0.7\n> Error: could not save resolutions to " + blocked +
                                 ": No such file or directory\n");
    EXPECT_EQ(answered.Address(), MakeAddress(10, 0, 0, 7));
    EXPECT_THAT(EntryNames(*Resolutions), ElementsAre("nas"));
}

TEST(AnswerQuery, NeverAsksOrLearnsANameNoEntryCouldHold) {
    ServiceStatics statics;
    // The longest name of a valid query, 253 characters, is learned in full.
    const std::string l(63, 'a'), last(61, 'b');
    const std::string longest = l + "." + l + "." + l + "." + last;
    FakeHosts[longest] = MakeAddress(10, 0, 0, 1);
    EXPECT_EQ(Ask({l, l, l, last}, longest).message.size(), 254u + 33u);
    // 256 characters would not fit an entry: a Failure line, before the resolver is asked.
    FakeHosts[longest + ".ccc"] = MakeAddress(10, 0, 0, 2);
    const Answered dropped = Ask({l, l, l, last, "ccc"}, longest + ".ccc");
    EXPECT_EQ(dropped.message[3], 0x02);
    EXPECT_EQ(dropped.line, "> 192.168.0.9: " + longest + ".ccc -> Failure.\n");
    EXPECT_EQ(FakeLookups, 1);
    EXPECT_THAT(EntryNames(*Resolutions), ElementsAre(longest));
}
