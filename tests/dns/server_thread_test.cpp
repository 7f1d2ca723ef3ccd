#include "dns/server_thread.h"

#include "common/ipv4.h"
#include "tests/test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using ::testing::ElementsAre;
using Bytes = std::vector<std::uint8_t>;

namespace {

const std::uint32_t Loopback = MakeAddress(127, 0, 0, 1);

// A UDP socket of the test's own with a short receive timeout, so that a missing answer fails fast.
struct Client {
    int handle = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::uint32_t server;

    explicit Client(std::uint32_t local = Loopback, std::uint32_t server = Loopback) : server(server) {
        sockaddr_in address{AF_INET, 0, {local}, {}};
        bind(handle, reinterpret_cast<sockaddr*>(&address), sizeof address);
        timeval timeout{0, 300'000};
        setsockopt(handle, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    ~Client() { close(handle); }

    std::uint16_t Port() const {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        getsockname(handle, reinterpret_cast<sockaddr*>(&address), &length);
        return ntohs(address.sin_port);
    }
    void Send(const Bytes& bytes, std::uint16_t port) {
        sockaddr_in target{AF_INET, htons(port), {server}, {}};
        sendto(handle, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&target), sizeof target);
    }
    std::optional<Bytes> Receive() {
        Bytes bytes(4096);
        const ssize_t got = recv(handle, bytes.data(), bytes.size(), 0);
        if (got < 0)
            return std::nullopt;
        bytes.resize(static_cast<std::size_t>(got));
        return bytes;
    }
    // Sends until an answer comes, ten times at most: the server may still be binding its socket.
    std::optional<Bytes> Exchange(const Bytes& query, std::uint16_t port) {
        for (int attempt = 0; attempt < 10; ++attempt) {
            Send(query, port);
            if (auto answer = Receive())
                return answer;
        }
        return std::nullopt;
    }
};

// The service on a free port with the fake resolver and one entry, printer at 192.168.1.20; stopped at the end.
struct RunningService {
    ServiceStatics statics;
    std::uint16_t port = Client().Port();

    explicit RunningService(std::uint32_t bindAddress = Loopback) {
        AppendResolution(*Resolutions, MakeAddressEntry("printer", MakeAddress(192, 168, 1, 20)));
        StartServerThread({bindAddress, port, ResolveFake});
    }
    ~RunningService() { StopServerThread(); }
};

bool WaitUntilStopped() {
    for (int wait = 0; wait < 200 && ServerRunning; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return !ServerRunning;
}

} // namespace

TEST(BuildQueryName, TurnsLengthBytesAndHighBytesIntoDots) {
    HostName store{};
    EXPECT_EQ(BuildQueryName(MakeQuery(1, {"xyz", "pq", "r"}), store), "xyz.pq.r");
    // A label of 48 characters keeps its length byte, the digit zero, in place of the dot before it.
    EXPECT_EQ(BuildQueryName(MakeQuery(1, {"a", std::string(48, 'k')}), store), "a0" + std::string(48, 'k'));
    EXPECT_EQ(BuildQueryName(MakeQuery(1, {"a\x80\xff"
                                           "b"}),
                             store),
              "a..b");
    EXPECT_EQ(BuildQueryName(MakeQuery(1, {}), store), "");

    // Eight labels of 31 characters fill the store exactly; one more label does not fit.
    const std::string l(31, 'a');
    EXPECT_EQ(BuildQueryName(MakeQuery(1, {l, l, l, l, l, l, l, l}), store)->size(), 255u);
    EXPECT_EQ(BuildQueryName(MakeQuery(1, {l, l, l, l, l, l, l, l, "c"}), store), std::nullopt);
    const Bytes query = MakeQuery(1, {"abc", "de"});
    for (std::size_t length = 0; length < 12 + 8; ++length)
        EXPECT_EQ(BuildQueryName(Bytes(query.begin(), query.begin() + static_cast<long>(length)), store), std::nullopt)
            << "cut at " << length;
}

TEST(ServerThread, AnswersOverARealSocketAndDropsWhatItCannotReadWhole) {
    RunningService service;
    FakeHosts["learned"] = MakeAddress(10, 0, 0, 8);
    Client client;
    testing::internal::CaptureStdout();
    const auto fixed = client.Exchange(MakeQuery(0x1234, {"printer"}), service.port);
    ASSERT_TRUE(fixed);
    EXPECT_EQ(fixed->size(), 8u + 33u); // exactly the message, nothing of the buffer behind it
    EXPECT_EQ((*fixed)[0], 0x12);
    const auto learned = client.Exchange(MakeQuery(7, {"learned"}), service.port);
    ASSERT_TRUE(learned);
    EXPECT_EQ(learned->back(), 8);

    // A name nobody knows gets a server failure at once.
    const auto unknown = client.Exchange(MakeQuery(8, {"unknown"}), service.port);
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->size(), 12u + 13u);
    EXPECT_EQ((*unknown)[3], 0x02);

    // Unanswered: a datagram longer than the buffer although it starts with a good query, one shorter than a
    // header, one whose name does not end within it, and one without the question's type and class.
    Bytes oversized = MakeQuery(2, {"printer"});
    oversized.resize(ReceiveBufferSize + 1, 0x41);
    Bytes unterminated = MakeQuery(3, {"printer"});
    unterminated.resize(12 + 8);
    Bytes untyped = MakeQuery(3, {"printer"});
    untyped.resize(untyped.size() - 1);
    for (const Bytes& dropped : {oversized, Bytes{0, 1, 0}, unterminated, untyped}) {
        client.Send(dropped, service.port);
        EXPECT_EQ(client.Receive(), std::nullopt) << dropped.size();
    }
    // A datagram of exactly the buffer's size is read whole.
    Bytes largest = MakeQuery(4, {"printer"});
    largest.resize(ReceiveBufferSize, 0x41);
    client.Send(largest, service.port);
    EXPECT_TRUE(client.Receive());

    StopServerThread();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "> 127.0.0.1: printer -> 192.168.1.20\n"
                                                      "> 127.0.0.1: learned -> 10.0.0.8\n"
                                                      "> 127.0.0.1: unknown -> Failure.\n"
                                                      "> 127.0.0.1: printer -> 192.168.1.20\n");
    EXPECT_THAT(EntryNames(*Resolutions), ElementsAre("printer", "learned"));
}

TEST(ServerThread, EndsOnAnEmptyDatagramOrAStop) {
    StopServerThread(); // never started: no effect
    for (const bool byDatagram : {true, false}) {
        RunningService service;
        Client client;
        testing::internal::CaptureStdout();
        ASSERT_TRUE(client.Exchange(MakeQuery(1, {"printer"}), service.port));
        const auto start = std::chrono::steady_clock::now();
        if (byDatagram) {
            client.Send({}, service.port);
            EXPECT_TRUE(WaitUntilStopped());
        }
        StopServerThread(); // wakes the thread from its receive, or finds it ended already
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
        client.Send(MakeQuery(2, {"printer"}), service.port);
        EXPECT_EQ(client.Receive(), std::nullopt);
        testing::internal::GetCapturedStdout();
    }
}

// In a private network namespace whose loopback also carries 192.0.2.1, a second address of this machine: an
// empty datagram from there must not end the service; one from 127.0.0.1 does.
TEST(ServerThread, OnlyLoopbackCanEndTheService) {
    const pid_t child = fork();
    if (child == 0) {
        if (unshare(CLONE_NEWNET) != 0 || std::system("ip link set lo up && ip addr add 192.0.2.1/32 dev lo") != 0)
            _exit(77);
        std::freopen("/dev/null", "w", stdout);
        const std::uint32_t other = MakeAddress(192, 0, 2, 1);
        RunningService service(0);
        Client stranger(other, other);
        Client local;
        int failures = !stranger.Exchange(MakeQuery(1, {"printer"}), service.port);
        stranger.Send({}, service.port);
        failures += !stranger.Exchange(MakeQuery(2, {"printer"}), service.port);
        local.Send({}, service.port);
        _exit(failures + !WaitUntilStopped());
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "no private network namespace here (needs root and iproute2)";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
