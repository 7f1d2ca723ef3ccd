#include "dns/server_thread.h"

#include "common/ipv4.h"
#include "platform/udp_socket.h"
#include "resolutions/resolution_file.h"
#include "tests/test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

const std::uint32_t Loopback = MakeAddress(127, 0, 0, 1);

// A UDP socket of the test's own on loopback. Loopback loses nothing, so a query is sent once and its answer,
// told by its ID, is waited for long enough for a sanitizer's build on a busy machine; a datagram that must not
// come is waited for a moment only, which can let a fault pass but never fail a sound build.
struct Client {
    int handle = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);

    Client() {
        sockaddr_in address{AF_INET, 0, {Loopback}, {}};
        bind(handle, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    ~Client() { close(handle); }
    void Send(const Bytes& bytes, std::uint16_t port) {
        sockaddr_in target{AF_INET, htons(port), {Loopback}, {}};
        sendto(handle, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&target), sizeof target);
    }
    std::optional<Bytes> Receive(std::chrono::milliseconds wait = std::chrono::milliseconds(300)) {
        pollfd ready{handle, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(wait.count())) != 1)
            return std::nullopt;
        Bytes bytes(4096);
        const ssize_t got = recv(handle, bytes.data(), bytes.size(), 0);
        bytes.resize(static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
        return got < 0 ? std::nullopt : std::optional(bytes);
    }
    // The answer to the query: the first datagram with its ID within ten seconds.
    std::optional<Bytes> Exchange(const Bytes& query, std::uint16_t port) {
        Send(query, port);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            const auto answer = Receive(
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()));
            if (answer && answer->size() >= 2 && (*answer)[0] == query[0] && (*answer)[1] == query[1])
                return answer;
        }
        return std::nullopt;
    }
};

// A port that was free a moment ago.
std::uint16_t FreePort() {
    const Client client;
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(client.handle, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// The address an answer gives, or nothing for a failure.
std::optional<std::uint32_t> AddressOf(const std::optional<Bytes>& answer) {
    if (!answer || answer->size() < 16 || ((*answer)[3] & 0x0F) != 0)
        return std::nullopt;
    const auto end = answer->end();
    return MakeAddress(end[-4], end[-3], end[-2], end[-1]);
}

// One pool for every service the tests start: a slow lookup may outlive its service.
ResolverPool& TestPool() {
    static ResolverPool* const pool = new ResolverPool;
    return *pool;
}

// The service on loopback and a free port, with the fake resolver.
ServiceSettings TestSettings(ResolutionTable& table, const std::string& fileName) {
    ServiceSettings settings;
    settings.table = &table;
    settings.fileName = fileName;
    settings.bindAddress = Loopback;
    settings.port = FreePort();
    settings.resolverPool = &TestPool();
    settings.resolveHost = ResolveFake;
    settings.isOwnLookup = nullptr; // the test's clients are sockets of this process
    // The machine's address changes are not the test's.
    settings.listAddresses = nullptr;
    return settings;
}

} // namespace

// The service as it runs, on a free port with the fake resolver and three entries: printer at 192.168.1.20, files
// forwarded to nas.lan and lost to slow.lan, whose lookup waits.
TEST(ServerThread, AnswersDropsWhatItCannotReadAndStopsAtOnce) {
    ResetFakeResolver();
    SetFakeHost("nas.lan", MakeAddress(192, 168, 1, 30));
    SetFakeHost("learned", MakeAddress(10, 0, 0, 8));
    SetFakeHost("3000000001", MakeAddress(178, 208, 94, 1));
    const TemporaryDirectory directory;
    ResolutionTable table;
    AppendResolution(table, {"printer", {}, 0, MakeAddress(192, 168, 1, 20)});
    AppendResolution(table, {"files", "nas.lan", ForwardKind, 0});
    AppendResolution(table, {"lost", "slow.lan", ForwardKind, 0});
    const ServiceSettings settings = TestSettings(table, directory.File("default.drf"));
    DnsService service;
    ASSERT_EQ(SetUpService(service, settings).step, ServiceSetUp::Step::Done);
    StartServerThread(service, settings);
    Client client;
    testing::internal::CaptureStdout();
    // Exactly the message, nothing of the buffer behind it: n + 33 bytes, or 12 + n + 5 and an SOA of 47 bytes
    // without an address.
    const auto fixed = client.Exchange(MakeQuery(0x1234, {"printer"}), settings.port);
    ASSERT_TRUE(fixed);
    EXPECT_EQ(fixed->size(), 8u + 33u);
    EXPECT_EQ(AddressOf(client.Exchange(MakeQuery(2, {"files"}), settings.port)), MakeAddress(192, 168, 1, 30));
    EXPECT_EQ(AddressOf(client.Exchange(MakeQuery(3, {"learned"}), settings.port)), MakeAddress(10, 0, 0, 8));
    EXPECT_EQ(client.Exchange(MakeQuery(4, {"unknown"}), settings.port).value().size(), 12u + 13u + 47u);
    // The pool tells a numeric name, which is answered but never learned.
    EXPECT_EQ(AddressOf(client.Exchange(MakeQuery(9, {"3000000001"}), settings.port)), MakeAddress(178, 208, 94, 1));
    // A datagram longer than the buffer is dropped without a line although it starts with a good query; one of
    // exactly the buffer's size is read whole.
    Bytes oversized = MakeQuery(5, {"printer"}), largest = MakeQuery(8, {"printer"});
    oversized.resize(DatagramBufferSize + 1, 0x41);
    largest.resize(DatagramBufferSize, 0x41);
    client.Send(oversized, settings.port);
    EXPECT_EQ(client.Receive(), std::nullopt);
    EXPECT_TRUE(client.Exchange(largest, settings.port));
    // A stop with a lookup under way ends at once, and nothing is answered after it.
    client.Send(MakeQuery(6, {"lost"}), settings.port);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto start = std::chrono::steady_clock::now();
    StopServerThread(service);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    ReleaseSlowLookups();
    client.Send(MakeQuery(7, {"printer"}), settings.port);
    EXPECT_EQ(client.Receive(), std::nullopt);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "> 127.0.0.1: printer -> 192.168.1.20\n"
                                                      "> 127.0.0.1: files -> 192.168.1.30\n"
                                                      "> 127.0.0.1: learned -> 10.0.0.8\n"
                                                      "> 127.0.0.1: unknown -> Failure.\n"
                                                      "> 127.0.0.1: 3000000001 -> 178.208.94.1\n"
                                                      "> 127.0.0.1: printer -> 192.168.1.20\n");
    EXPECT_THAT(EntryNames(table), ElementsAre("printer", "files", "lost", "learned"));
    // Not loaded from the file: it holds the table with the learned name.
    EXPECT_THAT(ReadBytes(settings.fileName), ElementsAreArray(SerializeResolutionTable(table)));
}

namespace {

std::atomic<int> SaveFailures{0};
std::string LastSaveFailure;

void CountSaveFailure(std::string_view line) {
    LastSaveFailure = line;
    ++SaveFailures;
}

} // namespace

// A folder that is gone fails every write: the service tells it once, not once a learned name.
TEST(ServerThread, TellsAFailingDiskOnceAndAnswersOn) {
    ResetFakeResolver();
    SetFakeHost("first", MakeAddress(10, 0, 0, 1));
    SetFakeHost("second", MakeAddress(10, 0, 0, 2));
    const TemporaryDirectory directory;
    ResolutionTable table;
    AppendResolution(table, {"printer", {}, 0, MakeAddress(192, 168, 1, 20)});
    ServiceSettings settings = TestSettings(table, directory.File("gone/default.drf"));
    settings.onSaveFailed = CountSaveFailure;
    SaveFailures = 0;
    DnsService service;
    ASSERT_EQ(SetUpService(service, settings).step, ServiceSetUp::Step::Done);
    StartServerThread(service, settings);
    Client client;
    testing::internal::CaptureStdout();
    EXPECT_EQ(AddressOf(client.Exchange(MakeQuery(1, {"first"}), settings.port)), MakeAddress(10, 0, 0, 1));
    EXPECT_EQ(AddressOf(client.Exchange(MakeQuery(2, {"second"}), settings.port)), MakeAddress(10, 0, 0, 2));
    StopServerThread(service);
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(SaveFailures, 1);
    EXPECT_TRUE(LastSaveFailure.starts_with("> Error: ")) << LastSaveFailure;
    EXPECT_NE(console.find(LastSaveFailure), std::string::npos);
}
