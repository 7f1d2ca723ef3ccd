#include "dns/upstream_relay.h"

#include "common/ipv4.h"
#include "platform/connected_socket.h"
#include "platform/network.h"
#include "tests/dns/fake_upstream.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <optional>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const ReplyRoute Client{MakeAddress(192, 168, 1, 40), 0x3930, 0};

// A relay on the servers, whose results signal a wake-up of the test's own.
struct TestRelay {
    WakeHandle wake;
    UpstreamRelay relay;

    explicit TestRelay(std::vector<SocketAddress> servers, RelayTimes times = {}) {
        StartNetwork();
        wake = CreateWake().handle;
        EXPECT_EQ(relay.Open(std::move(servers), wake, times), 0);
    }
    ~TestRelay() {
        relay.Close();
        CloseWake(wake);
        StopNetwork();
    }
    // The results, once `count` have come or five seconds have passed; each wait for them ends at the wake-up.
    std::vector<RelayResult> Await(std::size_t count) {
        std::vector<RelayResult> results;
        std::vector<std::size_t> ready;
        const auto until = Clock::now() + 5s;
        for (auto now = Clock::now(); results.size() < count && now < until; now = Clock::now()) {
            WaitForSockets({}, wake, std::chrono::ceil<std::chrono::milliseconds>(until - now), ready);
            relay.TakeResults(results);
        }
        return results;
    }
};

std::uint16_t IdOf(const Bytes& message) { return static_cast<std::uint16_t>(message[0] << 8 | message[1]); }

constexpr std::uint16_t AAAA = 28, MX = 15, TXT = 16;

const Bytes PrinterAddress = {
    0xC0, 0x0C,             // the question's name
    0x00, 0x1C, 0x00, 0x01, // AAAA, IN
    0x00, 0x00, 0x0E, 0x10, // an hour
    0x00, 0x10,             // sixteen bytes: fd00::20
    0xFD, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20,
};
// The printer's address, `count` times.
Bytes Repeated(std::size_t count) {
    Bytes records;
    for (std::size_t i = 0; i < count; ++i)
        records.insert(records.end(), PrinterAddress.begin(), PrinterAddress.end());
    return records;
}

const Bytes LanSoa = {
    0x03, 'l',  'a',  'n',  0x00, // lan
    0x00, 0x06, 0x00, 0x01,       // SOA, IN
    0x00, 0x00, 0x01, 0x2C,       // five minutes
    0x00, 0x16,                   // 22 bytes
    0x00, 0x00,                   // primary server and mailbox: the root, for brevity
    0x00, 0x00, 0x00, 0x07,       // serial
    0x00, 0x00, 0x0E, 0x10,       // refresh
    0x00, 0x00, 0x02, 0x58,       // retry
    0x00, 0x01, 0x51, 0x80,       // expire
    0x00, 0x00, 0x01, 0x2C,       // negative answers kept
};

} // namespace

TEST(UpstreamRelay, PassesTheAnswerOnAsItCameWithTheClientsIdAndQuestion) {
    FakeUpstream server;
    TestRelay relay({server.Address()});
    // One client, one port, one ID, two questions (as getaddrinfo asks A and AAAA).
    const Bytes printer = MakeQuery(0x1234, {"Printer", "LAN"}, AAAA);
    const Bytes lan = MakeQuery(0x1234, {"lan"}, MX);
    ASSERT_TRUE(relay.relay.Queue({printer, Client, 1}));
    ASSERT_TRUE(relay.relay.Queue({lan, Client, 2}));
    const std::optional<FakeUpstream::Datagram> first = server.Receive(), second = server.Receive();
    ASSERT_TRUE(first && second);
    const bool inOrder = first->bytes.size() == printer.size();
    const FakeUpstream::Datagram* asked[] = {inOrder ? &*first : &*second, inOrder ? &*second : &*first};
    // Each from a socket of its own, with an ID of its own in place of the client's, and otherwise as asked.
    EXPECT_NE(asked[0]->from.port, asked[1]->from.port);
    EXPECT_TRUE(std::equal(printer.begin() + 2, printer.end(), asked[0]->bytes.begin() + 2, asked[0]->bytes.end()));
    EXPECT_TRUE(std::equal(lan.begin() + 2, lan.end(), asked[1]->bytes.begin() + 2, asked[1]->bytes.end()));
    // The question echoed in small letters, in the longest datagram there is; no data for lan, with its SOA.
    server.Send(MakeResponse(IdOf(asked[0]->bytes), 0x8180, {"printer", "lan"}, AAAA, 2338, 0, Repeated(2338)),
                asked[0]->from);
    server.Send(MakeResponse(IdOf(asked[1]->bytes), 0x8180, {"lan"}, MX, 0, 1, LanSoa), asked[1]->from);
    std::vector<RelayResult> results = relay.Await(2);
    ASSERT_EQ(results.size(), 2u);
    std::sort(results.begin(), results.end(), [](const auto& a, const auto& b) { return a.serial < b.serial; });
    EXPECT_EQ(results[0].answer, MakeResponse(0x1234, 0x8180, {"Printer", "LAN"}, AAAA, 2338, 0, Repeated(2338)));
    EXPECT_EQ(results[1].answer, MakeResponse(0x1234, 0x8180, {"lan"}, MX, 0, 1, LanSoa));
    EXPECT_EQ(results[1].route.address, Client.address);
    EXPECT_EQ(results[1].route.port, Client.port);
}

TEST(UpstreamRelay, TakesOnlyAResponseFromItsServerWithItsIdAndQuestion) {
    FakeUpstream server;
    FakeUpstream stranger;
    TestRelay relay({server.Address()});
    ASSERT_TRUE(relay.relay.Queue({MakeQuery(0xBEEF, {"nas", "lan"}, TXT), Client, 1}));
    const std::optional<FakeUpstream::Datagram> asked = server.Receive();
    ASSERT_TRUE(asked);
    const std::uint16_t id = IdOf(asked->bytes);
    const Bytes right = MakeResponse(id, 0x8183, {"nas", "lan"}, TXT, 0, 1, LanSoa); // no such name
    // Each unlike the right one past its ID and question, which the client's replace.
    std::vector<Bytes> wrong = {
        MakeResponse(id ^ 0x0100, 0x8180, {"nas", "lan"}, TXT, 0, 0, {}), // another ID
        MakeResponse(id, 0x8180, {"nas", "lam"}, TXT, 0, 0, {}),          // another name
        MakeResponse(id, 0x8180, {"nas", "lan"}, MX, 0, 0, {}),           // another type
        MakeQuery(id, {"nas", "lan"}, TXT),                               // a query, no response
    };
    // Cut short of its question: never read past its end (beyond it the records are the client's to judge).
    for (std::size_t length = 0; length < 12 + 9 + 4; ++length)
        wrong.emplace_back(right.begin(), right.begin() + static_cast<std::ptrdiff_t>(length));
    for (const Bytes& datagram : wrong)
        server.Send(datagram, asked->from);
    stranger.Send(MakeResponse(id, 0x8180, {"nas", "lan"}, TXT, 0, 0, {}), asked->from);
    server.Send(right, asked->from);
    const std::vector<RelayResult> results = relay.Await(1);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].answer, MakeResponse(0xBEEF, 0x8183, {"nas", "lan"}, TXT, 0, 1, LanSoa));
}

TEST(UpstreamRelay, AsksTheNextServerWhenOneIsSilentAndFailsWhenNoneAnswersInTime) {
    const Bytes query = MakeQuery(0x4242, {"files", "lan"}, AAAA);
    const RelayTimes quick{100ms, 5000ms};
    {
        // The first is silent: the second is asked, and answers.
        FakeUpstream silent, second;
        TestRelay relay({silent.Address(), second.Address()}, quick);
        ASSERT_TRUE(relay.relay.Queue({query, Client, 1}));
        ASSERT_TRUE(silent.Receive());
        const std::optional<FakeUpstream::Datagram> asked = second.Receive();
        ASSERT_TRUE(asked);
        second.Send(MakeResponse(IdOf(asked->bytes), 0x8180, {"files", "lan"}, AAAA, 0, 1, LanSoa), asked->from);
        const std::vector<RelayResult> results = relay.Await(1);
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(results[0].answer, MakeResponse(0x4242, 0x8180, {"files", "lan"}, AAAA, 0, 1, LanSoa));
    }
    {
        // The first answers once the second has been asked: it is still heard.
        FakeUpstream late, silent;
        TestRelay relay({late.Address(), silent.Address()}, quick);
        ASSERT_TRUE(relay.relay.Queue({query, Client, 1}));
        const std::optional<FakeUpstream::Datagram> asked = late.Receive();
        ASSERT_TRUE(asked);
        ASSERT_TRUE(silent.Receive());
        late.Send(MakeResponse(IdOf(asked->bytes), 0x8180, {"files", "lan"}, AAAA, 1, 0, PrinterAddress), asked->from);
        const std::vector<RelayResult> results = relay.Await(1);
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(results[0].answer, MakeResponse(0x4242, 0x8180, {"files", "lan"}, AAAA, 1, 0, PrinterAddress));
    }
    {
        // Neither answers, the second's truncated answer asked again of it over TCP in vain: a failure once the time
        // is up, not before.
        FakeUpstream silent, second;
        TestRelay relay({silent.Address(), second.Address()}, {100ms, 400ms});
        const auto start = Clock::now();
        ASSERT_TRUE(relay.relay.Queue({query, Client, 7}));
        ASSERT_TRUE(silent.Receive());
        const std::optional<FakeUpstream::Datagram> asked = second.Receive();
        ASSERT_TRUE(asked);
        second.Send(MakeResponse(IdOf(asked->bytes), 0x8380, {"files", "lan"}, AAAA, 0, 0, {}), asked->from);
        const std::optional<SocketHandle> connection = second.Accept();
        ASSERT_TRUE(connection && second.ReceiveMessage(*connection));
        const std::vector<RelayResult> results = relay.Await(1);
        ASSERT_EQ(results.size(), 1u);
        EXPECT_GE(Clock::now() - start, 400ms);
        EXPECT_EQ(results[0].serial, 7u);
        EXPECT_TRUE(results[0].answer.empty());
    }
}

// Linux tells a connected socket that nobody listens on the server's port; Wine does not (CMakeLists.txt).
TEST(UpstreamRelay, AsksTheNextServerAtOnceWhenOneRefuses) {
    SocketAddress gone;
    {
        const FakeUpstream closed;
        gone = closed.Address();
    }
    FakeUpstream second;
    TestRelay relay({gone, second.Address()}, {4000ms, 5000ms});
    ASSERT_TRUE(relay.relay.Queue({MakeQuery(0x4242, {"files", "lan"}, AAAA), Client, 1}));
    EXPECT_TRUE(second.Receive(3000ms));
}

TEST(UpstreamRelay, FailsAtOnceWithoutServersAndTakesNoMoreThanItsBound) {
    {
        TestRelay relay({}, {5000ms, 10000ms});
        const auto start = Clock::now();
        ASSERT_TRUE(relay.relay.Queue({MakeQuery(1, {"nas"}, TXT), Client, 3}));
        const std::vector<RelayResult> results = relay.Await(1);
        ASSERT_EQ(results.size(), 1u);
        EXPECT_LT(Clock::now() - start, 2s);
        EXPECT_EQ(results[0].serial, 3u);
        EXPECT_TRUE(results[0].answer.empty());
        // Closed, and opened again for the next service.
        relay.relay.Close();
        EXPECT_FALSE(relay.relay.Queue({MakeQuery(1, {"nas"}, TXT), Client, 4}));
        ASSERT_EQ(relay.relay.Open({}, relay.wake), 0);
        ASSERT_TRUE(relay.relay.Queue({MakeQuery(1, {"nas"}, TXT), Client, 5}));
        EXPECT_EQ(relay.Await(1).size(), 1u);
    }
    FakeUpstream silent;
    TestRelay relay({silent.Address()}, {200ms, 200ms});
    for (std::size_t i = 0; i < MostRelayedQueries; ++i)
        ASSERT_TRUE(relay.relay.Queue({MakeQuery(static_cast<std::uint16_t>(i), {"nas"}, TXT), Client, i}));
    EXPECT_FALSE(relay.relay.Queue({MakeQuery(1, {"nas"}, TXT), Client, 0}));
    // The results taken, there is room again.
    EXPECT_EQ(relay.Await(MostRelayedQueries).size(), MostRelayedQueries);
    EXPECT_TRUE(relay.relay.Queue({MakeQuery(1, {"nas"}, TXT), Client, 0}));
}

TEST(UpstreamRelay, AsksAgainOverTcpWhenTheAnswerComesTruncated) {
    const Bytes query = MakeQuery(0x4242, {"files", "lan"}, AAAA);
    // The whole answer over TCP, sent in pieces; one with another ID; one whose length is beyond what comes before
    // the close. The truncated answer stands in for the last two, at once.
    enum class Reply { Whole, OtherId, ClosedEarly };
    for (const Reply reply : {Reply::Whole, Reply::OtherId, Reply::ClosedEarly}) {
        FakeUpstream server;
        TestRelay relay({server.Address()}, {100ms, 1000ms});
        const auto start = Clock::now();
        ASSERT_TRUE(relay.relay.Queue({query, Client, 1}));
        const std::optional<FakeUpstream::Datagram> asked = server.Receive();
        ASSERT_TRUE(asked);
        server.Send(MakeResponse(IdOf(asked->bytes), 0x8380, {"files", "lan"}, AAAA, 1, 0, PrinterAddress),
                    asked->from);
        const std::optional<SocketHandle> connection = server.Accept();
        ASSERT_TRUE(connection);
        const std::optional<Bytes> message = server.ReceiveMessage(*connection);
        ASSERT_TRUE(message);
        EXPECT_TRUE(std::equal(query.begin() + 2, query.end(), message->begin() + 2, message->end()));
        const std::uint16_t id = reply == Reply::OtherId ? IdOf(*message) ^ 1 : IdOf(*message);
        const Bytes whole = MakeResponse(id, 0x8180, {"files", "lan"}, AAAA, 100, 0, Repeated(100));
        const std::size_t length = whole.size() + (reply == Reply::ClosedEarly ? 1 : 0);
        Bytes framed = {static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)};
        framed.insert(framed.end(), whole.begin(), whole.end());
        for (const auto& [from, to] : {std::pair{0, 1}, {1, 300}, {300, static_cast<int>(framed.size())}}) {
            server.SendBytes(*connection, Bytes(framed.begin() + from, framed.begin() + to));
            std::this_thread::sleep_for(50ms);
        }
        if (reply == Reply::ClosedEarly)
            server.Disconnect(*connection);
        const std::vector<RelayResult> results = relay.Await(1);
        ASSERT_EQ(results.size(), 1u);
        EXPECT_LT(Clock::now() - start, 1000ms);
        EXPECT_EQ(results[0].answer, reply == Reply::Whole
                                         ? MakeResponse(0x4242, 0x8180, {"files", "lan"}, AAAA, 100, 0, Repeated(100))
                                         : MakeResponse(0x4242, 0x8380, {"files", "lan"}, AAAA, 1, 0, PrinterAddress));
    }
}

TEST(UpstreamRelay, HandsBackTheTruncatedAnswerBeyondItsTcpExchanges) {
    FakeUpstream server; // accepts no connection: each exchange waits for the time
    TestRelay relay({server.Address()}, {1000ms, 1000ms});
    for (std::size_t i = 0; i <= MostTcpExchanges; ++i)
        ASSERT_TRUE(relay.relay.Queue({MakeQuery(0x4242, {"files", "lan"}, AAAA), Client, i}));
    for (std::size_t i = 0; i <= MostTcpExchanges; ++i) {
        const std::optional<FakeUpstream::Datagram> asked = server.Receive();
        ASSERT_TRUE(asked);
        server.Send(MakeResponse(IdOf(asked->bytes), 0x8380, {"files", "lan"}, AAAA, 1, 0, PrinterAddress),
                    asked->from);
    }
    // One truncated answer at once; the others wait for their exchanges, and fail at the time.
    const std::vector<RelayResult> results = relay.Await(MostTcpExchanges + 1);
    ASSERT_EQ(results.size(), MostTcpExchanges + 1);
    EXPECT_EQ(results[0].answer, MakeResponse(0x4242, 0x8380, {"files", "lan"}, AAAA, 1, 0, PrinterAddress));
    EXPECT_EQ(std::count_if(results.begin(), results.end(), [](const auto& result) { return result.answer.empty(); }),
              static_cast<std::ptrdiff_t>(MostTcpExchanges));
}
