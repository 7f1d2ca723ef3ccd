#include "dns/server_thread.h"

#include "common/ipv4.h"
#include "dns/query_answer.h"
#include "platform/udp_socket.h"
#include "resolutions/resolution_file.h"
#include "tests/test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::UnorderedElementsAre;

namespace {

const std::uint32_t Loopback = MakeAddress(127, 0, 0, 1);

// A UDP socket of the test's own with a short receive timeout, so that a missing answer fails fast.
struct Client {
    int handle = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::uint32_t server;

    explicit Client(std::uint32_t local = Loopback, std::uint32_t server = Loopback) : server(server) {
        sockaddr_in address{AF_INET, 0, {local}, {}};
        bind(handle, reinterpret_cast<sockaddr*>(&address), sizeof address);
        SetTimeout(std::chrono::milliseconds(300));
    }
    ~Client() { close(handle); }

    void SetTimeout(std::chrono::milliseconds timeout) {
        timeval value{0, static_cast<suseconds_t>(timeout.count() * 1000)};
        setsockopt(handle, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
    }
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

// The answering address of an answer, or nothing for a server failure.
std::optional<std::uint32_t> AddressOf(const std::optional<Bytes>& answer) {
    if (!answer || answer->size() < 4 || (*answer)[3] != 0x00)
        return std::nullopt;
    const auto end = answer->end();
    return MakeAddress(end[-4], end[-3], end[-2], end[-1]);
}

bool IsServerFailure(const std::optional<Bytes>& answer) { return answer && answer->size() > 3 && (*answer)[3] == 2; }

// The service on a free port with the fake resolver and one entry, printer at 192.168.1.20; stopped at the end.
struct RunningService {
    ServiceStatics statics;
    std::uint16_t port = Client().Port();

    explicit RunningService(std::uint32_t bindAddress = Loopback, std::optional<FileIdentity> loaded = {}) {
        AppendResolution(*Resolutions, {"printer", {}, 0, MakeAddress(192, 168, 1, 20)});
        AppendResolution(*Resolutions, {"files", "nas.lan", ForwardKind, 0});
        AppendResolution(*Resolutions, {"lost", "slow.lan", ForwardKind, 0});
        Start(bindAddress, loaded);
    }
    void Start(std::uint32_t bindAddress = Loopback, std::optional<FileIdentity> loaded = {}) {
        StartServerThread({bindAddress, port, ResolveFake, loaded});
    }
    ~RunningService() { StopServerThread(); }
};

bool WaitUntilStopped() {
    for (int wait = 0; wait < 200 && ServerRunning; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return !ServerRunning;
}

} // namespace

TEST(ServerThread, AnswersFromTheTableAndTheResolverAndDropsWhatItCannotRead) {
    RunningService service;
    SetFakeHost("nas.lan", MakeAddress(192, 168, 1, 30));
    SetFakeHost("learned", MakeAddress(10, 0, 0, 8));
    SetFakeHost("3000000001", MakeAddress(178, 208, 94, 1));
    SetFakeHost("zero.lan", 0);
    Client client;
    testing::internal::CaptureStdout();
    const auto fixed = client.Exchange(MakeQuery(0x1234, {"printer"}), service.port);
    ASSERT_TRUE(fixed);
    EXPECT_EQ(fixed->size(), 8u + 33u); // exactly the message, nothing of the buffer behind it
    EXPECT_EQ((*fixed)[0], 0x12);
    EXPECT_EQ(AddressOf(client.Exchange(MakeQuery(2, {"files"}), service.port)), MakeAddress(192, 168, 1, 30));
    EXPECT_EQ(AddressOf(client.Exchange(MakeQuery(3, {"learned"}), service.port)), MakeAddress(10, 0, 0, 8));
    const auto unknown = client.Exchange(MakeQuery(4, {"unknown"}), service.port);
    EXPECT_TRUE(IsServerFailure(unknown));
    EXPECT_EQ(unknown->size(), 12u + 13u);
    // Numeric names and 0.0.0.0 are answered as the resolver gives them, but never learned.
    EXPECT_EQ(AddressOf(client.Exchange(MakeQuery(9, {"3000000001"}), service.port)), MakeAddress(178, 208, 94, 1));
    EXPECT_EQ(AddressOf(client.Exchange(MakeQuery(10, {"zero", "lan"}), service.port)), 0u);

    // Unanswered, without a console line: a datagram longer than the buffer although it starts with a good
    // query, one shorter than a header, one whose name does not end within it, and a response.
    Bytes oversized = MakeQuery(5, {"printer"});
    oversized.resize(DatagramBufferSize + 1, 0x41);
    Bytes unterminated = MakeQuery(6, {"printer"});
    unterminated.resize(12 + 8);
    Bytes response = MakeQuery(7, {"printer"});
    response[2] |= 0x80;
    for (const Bytes& dropped : {oversized, Bytes{0, 1, 0}, unterminated, response}) {
        client.Send(dropped, service.port);
        EXPECT_EQ(client.Receive(), std::nullopt) << dropped.size();
    }
    // A datagram of exactly the buffer's size is read whole.
    Bytes largest = MakeQuery(8, {"printer"});
    largest.resize(DatagramBufferSize, 0x41);
    EXPECT_TRUE(client.Exchange(largest, service.port));

    StopServerThread();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "> 127.0.0.1: printer -> 192.168.1.20\n"
                                                      "> 127.0.0.1: files -> 192.168.1.30\n"
                                                      "> 127.0.0.1: learned -> 10.0.0.8\n"
                                                      "> 127.0.0.1: unknown -> Failure.\n"
                                                      "> 127.0.0.1: 3000000001 -> 178.208.94.1\n"
                                                      "> 127.0.0.1: zero.lan -> 0.0.0.0\n"
                                                      "> 127.0.0.1: printer -> 192.168.1.20\n");
    EXPECT_THAT(EntryNames(*Resolutions), ElementsAre("printer", "files", "lost", "learned"));
    // The first learned name writes the whole file.
    EXPECT_THAT(ReadBytes(service.statics.FileName()), ElementsAreArray(SerializeResolutionTable(*Resolutions)));
}

TEST(ServerThread, KeepsAnsweringWhileALookupWaitsAndLooksEachNameUpOnce) {
    RunningService service;
    SetFakeHost("slow-new.lan", MakeAddress(10, 1, 1, 1));
    Client first, second, other;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(other.Exchange(MakeQuery(1, {"printer"}), service.port));
    first.Send(MakeQuery(2, {"slow-new", "lan"}), service.port);
    second.Send(MakeQuery(3, {"slow-new", "lan"}), service.port);
    first.Send(MakeQuery(4, {"lost"}), service.port);
    for (std::uint16_t id = 10; id < 20; ++id)
        EXPECT_EQ(AddressOf(other.Exchange(MakeQuery(id, {"printer"}), service.port)), MakeAddress(192, 168, 1, 20));
    ReleaseSlowLookups();
    first.SetTimeout(std::chrono::seconds(2));
    second.SetTimeout(std::chrono::seconds(2));
    EXPECT_EQ(AddressOf(second.Receive()), MakeAddress(10, 1, 1, 1));
    // One lookup, one entry, however many asked at once.
    const auto answers = std::vector{first.Receive(), first.Receive()};
    EXPECT_THAT(answers, UnorderedElementsAre(testing::Truly([](const auto& a) { return IsServerFailure(a); }),
                                              testing::Truly([](const auto& a) { return AddressOf(a).has_value(); })));
    StopServerThread();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(FakeLookups(), 2);
    EXPECT_THAT(EntryNames(*Resolutions), ElementsAre("printer", "files", "lost", "slow-new.lan"));
}

TEST(ServerThread, AppendsLearnedNamesToTheFileItLoadedAndRewritesAReplacedOne) {
    ServiceStatics outer;
    const std::string file = outer.FileName();
    WriteBytes(file, ExampleFile);
    ResolutionFileLoad load = LoadResolutionFile(file.c_str());
    ASSERT_TRUE(load.exact);
    outer.table = std::move(load.table);
    Resolutions = outer.table.get();
    const std::uint16_t port = Client().Port();
    SetFakeHost("one", MakeAddress(10, 0, 0, 1));
    SetFakeHost("two", MakeAddress(10, 0, 0, 2));
    StartServerThread({Loopback, port, ResolveFake, load.identity});
    Client client;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(AddressOf(client.Exchange(MakeQuery(1, {"one"}), port)));
    const FileIdentity appended{load.identity.device, load.identity.inode, load.identity.size + 13};
    struct stat status {};
    stat(file.c_str(), &status);
    EXPECT_EQ(static_cast<std::uint64_t>(status.st_ino), appended.inode); // the same file, grown in place
    // Replaced from outside: the next learned name writes the whole table anew.
    WriteBytes(file + ".new", {0, 0, 0, 0});
    std::filesystem::rename(file + ".new", file);
    ASSERT_TRUE(AddressOf(client.Exchange(MakeQuery(2, {"two"}), port)));
    StopServerThread();
    testing::internal::GetCapturedStdout();
    EXPECT_THAT(ReadBytes(file), ElementsAreArray(SerializeResolutionTable(*Resolutions)));
    EXPECT_THAT(EntryNames(*Resolutions), ElementsAre("printer", "files", "gateway", "one", "two"));
}

TEST(ServerThread, ReportsAFailedSaveAfterTheAnswer) {
    RunningService service;
    StopServerThread();
    const std::string blocked = service.statics.SetFileName("no/such/dir.drf");
    SetFakeHost("nas", MakeAddress(10, 0, 0, 7));
    service.Start();
    Client client;
    testing::internal::CaptureStdout();
    EXPECT_EQ(AddressOf(client.Exchange(MakeQuery(1, {"nas"}), service.port)), MakeAddress(10, 0, 0, 7));
    StopServerThread();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "> 127.0.0.1: nas -> 10.0.0.7\n> Error: could not save resolutions to " + blocked +
                  ": No such file or directory\n");
}

TEST(ServerThread, EndsOnAnEmptyDatagramOrAStopEvenWithALookupUnderWay) {
    StopServerThread(); // never started: no effect
    for (const bool byDatagram : {true, false}) {
        RunningService service;
        Client client;
        testing::internal::CaptureStdout();
        ASSERT_TRUE(client.Exchange(MakeQuery(1, {"printer"}), service.port));
        client.Send(MakeQuery(2, {"lost"}), service.port);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const auto start = std::chrono::steady_clock::now();
        if (byDatagram) {
            client.Send({}, service.port);
            EXPECT_TRUE(WaitUntilStopped());
        }
        StopServerThread(); // wakes the thread from its wait, or finds it ended already
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
        client.Send(MakeQuery(3, {"printer"}), service.port);
        EXPECT_EQ(client.Receive(), std::nullopt);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "> 127.0.0.1: printer -> 192.168.1.20\n");
    }
}
