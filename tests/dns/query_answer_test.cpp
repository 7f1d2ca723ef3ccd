#include "dns/query_answer.h"

#include "common/ipv4.h"
#include "resolutions/resolution_file.h"
#include "tests/test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

const std::uint32_t Client = MakeAddress(192, 168, 0, 9);

struct Answered {
    std::vector<std::uint8_t> message;
    std::string line;
};

Answered Ask(const std::vector<std::uint8_t>& query, std::string_view name, std::uint32_t client = Client) {
    std::array<std::uint8_t, AnswerBufferSize> buffer{};
    testing::internal::CaptureStdout();
    const std::size_t length = AnswerQuery(buffer, query, name, client, ResolveFake);
    return {{buffer.begin(), buffer.begin() + static_cast<long>(length)}, testing::internal::GetCapturedStdout()};
}

// The last four bytes of an answer: the address it gives.
std::uint32_t AnsweredAddress(const std::vector<std::uint8_t>& message) {
    std::uint32_t address = 0;
    if (message.size() >= 4)
        std::memcpy(&address, message.data() + message.size() - 4, 4);
    return address;
}

} // namespace

TEST(WriteAnswerMessage, BuildsOneARecordWhateverTheQueryAsked) {
    // www.example.com: 15 characters in three labels, so n = 16 and the message is 49 bytes.
    auto query = MakeQuery(0xBEEF, {"www", "example", "com"}, 28);
    query[2] = 0x7F; // every flag the query could set
    query[3] = 0xFF;
    std::array<std::uint8_t, AnswerBufferSize> buffer{};
    ASSERT_EQ(WriteAnswerMessage(buffer, query, MakeAddress(192, 168, 1, 20)), 49u);
    const std::vector<std::uint8_t> expected = {
        0xBE, 0xEF,                                   // ID, copied
        0x85, 0x00,                                   // flags: response, authoritative, recursion desired
        0x00, 0x01,                                   // QDCOUNT
        0x00, 0x01,                                   // ANCOUNT
        0x00, 0x00,                                   // NSCOUNT
        0x00, 0x00,                                   // ARCOUNT
        0x03, 'w', 'w', 'w',                          // QNAME
        0x07, 'e', 'x', 'a', 'm', 'p', 'l', 'e',      //
        0x03, 'c', 'o', 'm', 0x00,                    //
        0x00, 0x01,                                   // QTYPE A, although AAAA was asked
        0x00, 0x01,                                   // QCLASS IN
        0xC0, 0x0C,                                   // answer NAME: pointer to offset 12
        0x00, 0x01,                                   // TYPE A
        0x00, 0x01,                                   // CLASS IN
        0x00, 0x89, 0x6B, 0xB0,                       // TTL 9006000
        0x00, 0x04,                                   // RDLENGTH
        0xC0, 0xA8, 0x01, 0x14,                       // RDATA 192.168.1.20
    };
    EXPECT_THAT(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + 49), ElementsAreArray(expected));

    // An MX query gets the same answer but for its own ID.
    auto mx = MakeQuery(0x0102, {"www", "example", "com"}, 15);
    ASSERT_EQ(WriteAnswerMessage(buffer, mx, MakeAddress(192, 168, 1, 20)), 49u);
    EXPECT_EQ(buffer[0], 0x01);
    EXPECT_EQ(buffer[1], 0x02);
    EXPECT_THAT(std::vector<std::uint8_t>(buffer.begin() + 2, buffer.begin() + 49),
                ElementsAreArray(expected.begin() + 2, expected.end()));
}

TEST(WriteAnswerMessage, NeverReadsOrWritesPastItsStores) {
    const auto query = MakeQuery(7, {"abc", "de"});
    std::array<std::uint8_t, AnswerBufferSize> buffer{};
    const std::size_t nameEnd = 12 + 1 + 3 + 1 + 2; // offset of the name's zero byte
    for (std::size_t length = 0; length <= query.size(); ++length) {
        const std::vector<std::uint8_t> cut(query.begin(), query.begin() + static_cast<long>(length));
        const std::size_t expected = length > nameEnd ? 7 + 33 : 0; // n = 7
        EXPECT_EQ(WriteAnswerMessage(buffer, cut, 1), expected) << "cut at " << length;
    }
    // A buffer one byte short of the message is left alone.
    std::vector<std::uint8_t> small(7 + 33 - 1);
    EXPECT_EQ(WriteAnswerMessage(small, query, 1), 0u);
    std::vector<std::uint8_t> exact(7 + 33);
    EXPECT_EQ(WriteAnswerMessage(exact, query, 1), exact.size());
}

TEST(AnswerQuery, AnswersTheThreeKindsOfEntry) {
    ServiceStatics statics;
    LocalAddresses.addresses = {MakeAddress(127, 0, 0, 1), MakeAddress(192, 168, 0, 2)};
    LocalAddresses.defaultAddress = MakeAddress(100, 64, 0, 1);
    AppendResolution(*Resolutions, MakeAddressEntry("printer", MakeAddress(192, 168, 1, 20)));
    AppendResolution(*Resolutions, MakeAddressEntry("gateway", 0));
    AppendResolution(*Resolutions, MakeForwardEntry("files", "nas.lan"));
    AppendResolution(*Resolutions, MakeAddressEntry("odd", MakeAddress(10, 9, 9, 9), 7));
    FakeHosts["nas.lan"] = MakeAddress(192, 168, 1, 30);

    Answered fixed = Ask(MakeQuery(1, {"printer"}), "printer");
    EXPECT_EQ(fixed.line, "> 192.168.0.9: printer -> 192.168.1.20\n");
    EXPECT_EQ(AnsweredAddress(fixed.message), MakeAddress(192, 168, 1, 20));
    EXPECT_EQ(fixed.message.size(), 8u + 33u);

    // Local: the server address on the client's side, 127.0.0.1 for the machine itself, else the default.
    EXPECT_EQ(AnsweredAddress(Ask(MakeQuery(2, {"gateway"}), "gateway").message), MakeAddress(192, 168, 0, 2));
    EXPECT_EQ(AnsweredAddress(Ask(MakeQuery(2, {"gateway"}), "gateway", MakeAddress(127, 3, 0, 1)).message),
              MakeAddress(127, 0, 0, 1));
    Answered other = Ask(MakeQuery(2, {"gateway"}), "gateway", MakeAddress(172, 16, 0, 4));
    EXPECT_EQ(other.line, "> 172.16.0.4: gateway -> 100.64.0.1\n");
    EXPECT_EQ(AnsweredAddress(other.message), MakeAddress(100, 64, 0, 1));

    // Forward: the target is asked anew every time.
    EXPECT_EQ(Ask(MakeQuery(3, {"files"}), "files").line, "> 192.168.0.9: files -> 192.168.1.30\n");
    FakeHosts["nas.lan"] = MakeAddress(192, 168, 1, 31);
    EXPECT_EQ(AnsweredAddress(Ask(MakeQuery(3, {"files"}), "files").message), MakeAddress(192, 168, 1, 31));
    EXPECT_EQ(FakeLookups, 2);
    FakeHosts.clear();
    Answered lost = Ask(MakeQuery(3, {"files"}), "files");
    EXPECT_EQ(lost.line, "> 192.168.0.9: files -> Failure.\n");
    EXPECT_TRUE(lost.message.empty());

    // Any kind but 1 is an address entry.
    EXPECT_EQ(AnsweredAddress(Ask(MakeQuery(4, {"odd"}), "odd").message), MakeAddress(10, 9, 9, 9));

    // None of this changed the table or wrote the file.
    EXPECT_EQ(Resolutions->entries.size(), 4u);
    EXPECT_TRUE(ReadBytes(statics.FileName()).empty());
}

TEST(AnswerQuery, LearnsANameOnceAndAnswersItFromTheTableAfterwards) {
    ServiceStatics statics;
    AppendResolution(*Resolutions, MakeAddressEntry("Printer", MakeAddress(192, 168, 1, 20)));
    FakeHosts["printer"] = MakeAddress(192, 168, 1, 99);

    // Letter case matters: "printer" is not "Printer", so it is asked and learned as a second entry.
    Answered first = Ask(MakeQuery(9, {"printer"}), "printer");
    EXPECT_EQ(first.line, "> 192.168.0.9: printer -> 192.168.1.99\n");
    EXPECT_EQ(AnsweredAddress(first.message), MakeAddress(192, 168, 1, 99));
    EXPECT_EQ(FakeLookups, 1);
    ASSERT_THAT(EntryNames(*Resolutions), ElementsAre("Printer", "printer"));
    EXPECT_EQ(Resolutions->entries[1]->kind, 0u);
    EXPECT_EQ(HostNameText(Resolutions->entries[1]->target), "");
    const std::vector<std::uint8_t> saved = ReadBytes(statics.FileName());
    EXPECT_THAT(saved, ElementsAreArray(SerializeResolutionTable(*Resolutions)));

    // The second time comes from the table: no question to the resolver, no write of the file.
    FakeHosts["printer"] = MakeAddress(1, 1, 1, 1);
    std::remove(statics.FileName().c_str());
    Answered second = Ask(MakeQuery(10, {"printer"}), "printer");
    EXPECT_EQ(AnsweredAddress(second.message), MakeAddress(192, 168, 1, 99));
    EXPECT_EQ(FakeLookups, 1);
    EXPECT_TRUE(ReadBytes(statics.FileName()).empty());
}

TEST(AnswerQuery, UnknownNameAddsNothing) {
    ServiceStatics statics;
    Answered unknown = Ask(MakeQuery(5, {"nobody", "lan"}), "nobody.lan");
    EXPECT_EQ(unknown.line, "> 192.168.0.9: nobody.lan -> Failure.\n");
    EXPECT_TRUE(unknown.message.empty());
    EXPECT_TRUE(Resolutions->entries.empty());
    EXPECT_TRUE(ReadBytes(statics.FileName()).empty());
}

TEST(AnswerQuery, FailedSaveIsReportedAndTheAnswerStillGoesOut) {
    ServiceStatics statics;
    const std::string blocked = statics.directory.File("no/such/dir.drf");
    blocked.copy(ResolutionFileName.data(), blocked.size());
    ResolutionFileName[blocked.size()] = '\0';
    FakeHosts["nas"] = MakeAddress(10, 0, 0, 7);

    Answered answered = Ask(MakeQuery(6, {"nas"}), "nas");
    EXPECT_EQ(answered.line, "> 192.168.0.9: nas -> 10.0.0.7\n> Error: could not save resolutions to " + blocked +
                                 ": No such file or directory\n");
    EXPECT_EQ(AnsweredAddress(answered.message), MakeAddress(10, 0, 0, 7));
    EXPECT_THAT(EntryNames(*Resolutions), ElementsAre("nas"));
}

TEST(AnswerQuery, NamesThatNoEntryCouldHoldAreNeitherAskedNorLearned) {
    ServiceStatics statics;
    // The longest name a valid query carries, 253 characters, is learned in full.
    const std::string label(63, 'a');
    const std::string longest = label + "." + label + "." + label + "." + std::string(61, 'b');
    FakeHosts[longest] = MakeAddress(10, 0, 0, 1);
    const auto valid = MakeQuery(1, {label, label, label, std::string(61, 'b')});
    EXPECT_EQ(Ask(valid, longest).message.size(), 254u + 33u);
    EXPECT_THAT(EntryNames(*Resolutions), ElementsAre(longest));

    // 256 characters would not fit an entry: dropped with a Failure line, before the resolver is asked.
    const std::string tooLong = longest + ".ccc";
    FakeHosts[tooLong] = MakeAddress(10, 0, 0, 2);
    const auto oversized = MakeQuery(2, {label, label, label, std::string(61, 'b'), "ccc"});
    Answered dropped = Ask(oversized, tooLong);
    EXPECT_TRUE(dropped.message.empty());
    EXPECT_EQ(dropped.line, "> 192.168.0.9: " + tooLong + " -> Failure.\n");
    EXPECT_EQ(FakeLookups, 1);
    EXPECT_EQ(Resolutions->entries.size(), 1u);

    // A query whose name never ends within the datagram gets nothing either.
    const std::vector<std::uint8_t> nameless(valid.begin(), valid.begin() + 40);
    EXPECT_TRUE(Ask(nameless, "aaa").message.empty());
    EXPECT_EQ(FakeLookups, 1);
}
