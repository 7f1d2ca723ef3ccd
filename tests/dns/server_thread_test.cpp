#include "dns/server_thread.h"

#include "common/ipv4.h"
#include "tests/test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

const std::uint32_t LoopbackAddress = MakeAddress(127, 0, 0, 1);

// A UDP socket of the test's own, bound to the given local address, with a short receive timeout so that a
// missing answer fails fast.
struct Client {
    int handle = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);

    explicit Client(std::uint32_t localAddress = LoopbackAddress, std::uint16_t port = 0) {
        sockaddr_in local{AF_INET, htons(port), {localAddress}, {}};
        if (bind(handle, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
            ADD_FAILURE() << "client bind failed";
        timeval timeout{0, 300'000};
        setsockopt(handle, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    ~Client() { close(handle); }

    std::uint16_t Port() const {
        sockaddr_in local{};
        socklen_t length = sizeof local;
        getsockname(handle, reinterpret_cast<sockaddr*>(&local), &length);
        return ntohs(local.sin_port);
    }

    void Send(const std::vector<std::uint8_t>& bytes, std::uint16_t port, std::uint32_t to = LoopbackAddress) {
        sockaddr_in target{AF_INET, htons(port), {to}, {}};
        sendto(handle, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&target), sizeof target);
    }

    // The next datagram, or nothing within the timeout.
    std::optional<std::vector<std::uint8_t>> Receive() {
        std::vector<std::uint8_t> bytes(4096);
        const ssize_t got = recv(handle, bytes.data(), bytes.size(), 0);
        if (got < 0)
            return std::nullopt;
        bytes.resize(static_cast<std::size_t>(got));
        return bytes;
    }

    // Sends until an answer comes, a few times at most: the server may still be binding its socket.
    std::optional<std::vector<std::uint8_t>> Exchange(const std::vector<std::uint8_t>& query, std::uint16_t port,
                                                      std::uint32_t to = LoopbackAddress) {
        for (int attempt = 0; attempt < 10; ++attempt) {
            Send(query, port, to);
            if (auto answer = Receive())
                return answer;
        }
        return std::nullopt;
    }
};

std::uint16_t FreePort() {
    Client probe;
    return probe.Port();
}

// Runs the service on loopback with the fake resolver, and stops it at the end of the test.
struct RunningService {
    ServiceStatics statics;
    std::uint16_t port = FreePort();

    explicit RunningService(std::uint32_t bindAddress = LoopbackAddress) {
        AppendResolution(*Resolutions, MakeAddressEntry("printer", MakeAddress(192, 168, 1, 20)));
        StartServerThread({bindAddress, port, ResolveFake});
    }
    ~RunningService() { StopServerThread(); }
};

std::uint32_t AnsweredAddress(const std::vector<std::uint8_t>& message) {
    std::uint32_t address = 0;
    std::memcpy(&address, message.data() + message.size() - 4, 4);
    return address;
}

} // namespace

TEST(BuildQueryName, TurnsLengthBytesAndHighBytesIntoDots) {
    HostName store{};
    EXPECT_EQ(BuildQueryName(MakeQuery(1, {"xyz", "pq", "r"}), store), "xyz.pq.r");

    // A label of 48 characters keeps its length byte, the digit zero, in place of the dot before it.
    const std::string long48(48, 'k');
    EXPECT_EQ(BuildQueryName(MakeQuery(1, {"a", long48}), store), "a0" + long48);

    // 0x80 and above are negative as signed bytes: dots as well. The root name is empty.
    EXPECT_EQ(BuildQueryName(MakeQuery(1, {"a\x80\xff" "b"}), store), "a..b");
    EXPECT_EQ(BuildQueryName(MakeQuery(1, {}), store), "");
}

TEST(BuildQueryName, RefusesWhatItCannotReadOrHold) {
    HostName store{};
    const auto query = MakeQuery(1, {"abc", "de"});
    for (std::size_t length = 0; length < 12 + 8; ++length) {
        const std::vector<std::uint8_t> cut(query.begin(), query.begin() + static_cast<long>(length));
        EXPECT_EQ(BuildQueryName(cut, store), std::nullopt) << "cut at " << length;
    }
    // Eight labels of 31 characters make a name of exactly 255; one more label is too much for the store.
    const std::string l(31, 'a');
    std::string fits = l;
    for (int i = 1; i < 8; ++i)
        fits += "." + l;
    EXPECT_EQ(BuildQueryName(MakeQuery(1, {l, l, l, l, l, l, l, l}), store), fits);
    EXPECT_EQ(BuildQueryName(MakeQuery(1, {l, l, l, l, l, l, l, l, "c"}), store), std::nullopt);
}

TEST(ServerThread, AnswersQueriesOverARealSocket) {
    RunningService service;
    FakeHosts["learned"] = MakeAddress(10, 0, 0, 8);
    Client client;
    testing::internal::CaptureStdout();

    const auto fixed = client.Exchange(MakeQuery(0x1234, {"printer"}), service.port);
    ASSERT_TRUE(fixed);
    EXPECT_EQ(fixed->size(), 8u + 33u); // exactly the answer message, nothing of the buffer behind it
    EXPECT_EQ((*fixed)[0], 0x12);
    EXPECT_EQ(AnsweredAddress(*fixed), MakeAddress(192, 168, 1, 20));

    const auto learned = client.Exchange(MakeQuery(7, {"learned"}), service.port);
    ASSERT_TRUE(learned);
    EXPECT_EQ(AnsweredAddress(*learned), MakeAddress(10, 0, 0, 8));

    // No answer for a name nobody knows; the next query is answered as usual.
    client.Send(MakeQuery(8, {"unknown"}), service.port);
    EXPECT_EQ(client.Receive(), std::nullopt);
    EXPECT_TRUE(client.Exchange(MakeQuery(9, {"printer"}), service.port));

    StopServerThread();
    std::fflush(stdout);
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_THAT(output, HasSubstr("> 127.0.0.1: learned -> 10.0.0.8\n"));
    EXPECT_THAT(output, HasSubstr("> 127.0.0.1: unknown -> Failure.\n"));
    EXPECT_THAT(EntryNames(*Resolutions), ElementsAre("printer", "learned"));
}

TEST(ServerThread, DropsDatagramsItCannotReadWhole) {
    RunningService service;
    Client client;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(client.Exchange(MakeQuery(1, {"printer"}), service.port));

    // Longer than the receive buffer, though its start is a good query.
    auto oversized = MakeQuery(2, {"printer"});
    oversized.resize(ReceiveBufferSize + 1, 0x41);
    client.Send(oversized, service.port);
    EXPECT_EQ(client.Receive(), std::nullopt);

    // Shorter than a header, and a name that never ends within the datagram.
    client.Send({0x00, 0x01, 0x00}, service.port);
    EXPECT_EQ(client.Receive(), std::nullopt);
    auto unterminated = MakeQuery(3, {"printer"});
    unterminated.resize(12 + 8);
    client.Send(unterminated, service.port);
    EXPECT_EQ(client.Receive(), std::nullopt);

    // A datagram of exactly the buffer's size is read whole.
    auto largest = MakeQuery(4, {"printer"});
    largest.resize(ReceiveBufferSize, 0x41);
    client.Send(largest, service.port);
    const auto answer = client.Receive();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->size(), 8u + 33u);

    StopServerThread();
    std::fflush(stdout);
    // Dropped datagrams leave no line on the console.
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "> 127.0.0.1: printer -> 192.168.1.20\n"
                                                      "> 127.0.0.1: printer -> 192.168.1.20\n");
}

TEST(ServerThread, EmptyDatagramFromThisMachineEndsTheService) {
    RunningService service;
    Client client;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(client.Exchange(MakeQuery(1, {"printer"}), service.port));
    client.Send({}, service.port);
    for (int wait = 0; wait < 200 && ServerRunning; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_FALSE(ServerRunning);
    client.Send(MakeQuery(2, {"printer"}), service.port);
    EXPECT_EQ(client.Receive(), std::nullopt);
    StopServerThread(); // has ended already: nothing to do
    StopServerThread();
    testing::internal::GetCapturedStdout();
}

TEST(StopServerThread, WakesTheThreadFromItsReceive) {
    StopServerThread(); // never started: no effect
    RunningService service;
    Client client;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(client.Exchange(MakeQuery(1, {"printer"}), service.port));
    const auto start = std::chrono::steady_clock::now();
    StopServerThread();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    client.Send(MakeQuery(2, {"printer"}), service.port);
    EXPECT_EQ(client.Receive(), std::nullopt);
    testing::internal::GetCapturedStdout();
}

TEST(ServerThread, ReportsAPortThatIsTaken) {
    ServiceStatics statics;
    Client holder; // bound without SO_REUSEADDR, so the port cannot be shared
    testing::internal::CaptureStdout();
    ServerThread({LoopbackAddress, holder.Port(), ResolveFake});
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "> Error: could not bind socket to port " + std::to_string(holder.Port()) + ": 98\n");
}

constexpr int NoNamespace = 77;

// Runs the body in a child process with a private network namespace whose loopback interface also carries
// 192.0.2.1, a second address of this machine. Returns the body's exit code, or NoNamespace.
int InPrivateNetwork(int (*body)()) {
    const pid_t child = fork();
    if (child == 0) {
        if (unshare(CLONE_NEWNET) != 0 || std::system("ip link set lo up && ip addr add 192.0.2.1/32 dev lo") != 0)
            _exit(NoNamespace);
        std::freopen("/dev/null", "w", stdout);
        _exit(body());
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

const std::uint32_t OtherAddress = MakeAddress(192, 0, 2, 1);

// An empty datagram from a second address of this machine must not end the service; one from 127.0.0.1 does.
TEST(ServerThread, OnlyLoopbackCanEndTheService) {
    const int failures = InPrivateNetwork([] {
        RunningService service(0);
        Client stranger(OtherAddress);
        Client local;
        int failures = 0;
        failures += !stranger.Exchange(MakeQuery(1, {"printer"}), service.port, OtherAddress);
        stranger.Send({}, service.port, OtherAddress);
        failures += !stranger.Exchange(MakeQuery(2, {"printer"}), service.port, OtherAddress);
        failures += ServerRunning ? 0 : 1;
        local.Send({}, service.port);
        for (int wait = 0; wait < 200 && ServerRunning; ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return failures + (ServerRunning ? 1 : 0);
    });
    if (failures == NoNamespace)
        GTEST_SKIP() << "no private network namespace here (needs root and iproute2)";
    EXPECT_EQ(failures, 0);
}

// A query to 127.0.0.1 from 192.0.2.1 must be answered from 127.0.0.1: a client only takes an answer from the
// address it asked, and a connected socket enforces that.
TEST(ServerThread, AnswersFromTheAddressTheQueryWasSentTo) {
    const int failures = InPrivateNetwork([] {
        RunningService service(0);
        Client client(OtherAddress);
        // Once the service is up: a connected socket would give up at the first refusal.
        if (!client.Exchange(MakeQuery(1, {"printer"}), service.port, OtherAddress))
            return 2;
        sockaddr_in server{AF_INET, htons(service.port), {LoopbackAddress}, {}};
        connect(client.handle, reinterpret_cast<sockaddr*>(&server), sizeof server);
        return client.Exchange(MakeQuery(1, {"printer"}), service.port) ? 0 : 1;
    });
    if (failures == NoNamespace)
        GTEST_SKIP() << "no private network namespace here (needs root and iproute2)";
    EXPECT_EQ(failures, 0);
}

// A real DNS client must accept the answers.
TEST(ServerThread, DigAcceptsTheAnswers) {
    if (std::system("command -v dig >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "dig is not installed";
    RunningService service;
    AppendResolution(*Resolutions, MakeAddressEntry("gateway.lan", 0));
    AppendResolution(*Resolutions, MakeForwardEntry("files.lan", "nas.lan"));
    LocalAddresses.addresses = {LoopbackAddress};
    FakeHosts["nas.lan"] = MakeAddress(192, 168, 1, 30);
    Client client;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(client.Exchange(MakeQuery(1, {"printer"}), service.port));

    const auto dig = [&](const std::string& name) {
        const std::string command = "dig @127.0.0.1 -p " + std::to_string(service.port) + " +tries=1 +time=2 +short " +
                                    name + " A 2>&1";
        std::string output;
        if (FILE* pipe = popen(command.c_str(), "r")) {
            char line[256];
            while (std::fgets(line, sizeof line, pipe))
                output += line;
            pclose(pipe);
        }
        return output;
    };
    EXPECT_EQ(dig("printer"), "192.168.1.20\n");
    EXPECT_EQ(dig("gateway.lan"), "127.0.0.1\n");
    EXPECT_EQ(dig("files.lan"), "192.168.1.30\n");
    StopServerThread();
    testing::internal::GetCapturedStdout();
}
