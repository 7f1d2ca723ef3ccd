// A batched DNS load generator for the benchmarks, where dnsperf itself becomes the limit: it keeps a window of
// queries in flight over one UDP socket with sendmmsg and recvmmsg and counts the answers.
//   load_generator run SERVER PORT NAMES-FILE SECONDS [WINDOW]   prints answers per second
//   load_generator probe SERVER PORT NAME SECONDS               waits for the first answer; exit 1 without one
//   load_generator learn SERVER PORT FIRST-SOURCE CLIENTS NAMES WINDOW SECONDS PREFIX
//       CLIENTS sockets from FIRST-SOURCE on (192.0.2.101, .102, ...), each asking NAMES names of its own
//       (PREFIX-CLIENT-N.lan) with at most WINDOW in flight; prints names answered per second until all are
// Only for loopback or a private namespace: every loop is bounded by SECONDS.
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::vector<unsigned char> MakeQuery(unsigned id, const std::string& name) {
    std::vector<unsigned char> query = {
        static_cast<unsigned char>(id >> 8), static_cast<unsigned char>(id), 1, 0, 0, 1, 0, 0, 0, 0, 0, 0};
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t dot = name.find('.', start);
        if (dot == std::string::npos)
            dot = name.size();
        query.push_back(static_cast<unsigned char>(dot - start));
        query.insert(query.end(), name.begin() + static_cast<long>(start), name.begin() + static_cast<long>(dot));
        start = dot + 1;
    }
    query.insert(query.end(), {0, 0, 1, 0, 1});
    return query;
}

int Connect(const char* server, int port) {
    const int handle = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, server, &address.sin_addr);
    if (connect(handle, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::perror("connect");
        std::exit(2);
    }
    const int size = 8 << 20;
    setsockopt(handle, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    setsockopt(handle, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    return handle;
}

int Probe(const char* server, int port, const std::string& name, double seconds) {
    const int handle = Connect(server, port);
    const auto query = MakeQuery(1, name);
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    unsigned char answer[512];
    while (Clock::now() < end) {
        send(handle, query.data(), query.size(), 0);
        pollfd wait{handle, POLLIN, 0};
        if (poll(&wait, 1, 5) > 0 && recv(handle, answer, sizeof answer, 0) > 0)
            return 0;
    }
    return 1;
}

int Run(const char* server, int port, const char* namesFile, double seconds, int window) {
    std::vector<std::vector<unsigned char>> queries;
    std::ifstream names(namesFile);
    for (std::string name; std::getline(names, name) && queries.size() < 1'000'000;)
        queries.push_back(MakeQuery(static_cast<unsigned>(queries.size()), name.substr(0, name.find(' '))));
    if (queries.empty())
        return 2;
    const int handle = Connect(server, port);
    constexpr int Batch = 64;
    mmsghdr messages[Batch] = {};
    iovec data[Batch];
    std::vector<unsigned char> receive(Batch * 512);
    long sent = 0, answered = 0, outstanding = 0;
    std::size_t next = 0;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    auto lastAnswer = start;
    while (Clock::now() < end) {
        const int count = static_cast<int>(std::min<long>(Batch, window - outstanding));
        if (count > 0) {
            for (int i = 0; i < count; ++i, next = (next + 1) % queries.size()) {
                data[i] = {queries[next].data(), queries[next].size()};
                messages[i].msg_hdr = {};
                messages[i].msg_hdr.msg_iov = &data[i];
                messages[i].msg_hdr.msg_iovlen = 1;
            }
            const int done = sendmmsg(handle, messages, static_cast<unsigned>(count), 0);
            if (done > 0) {
                sent += done;
                outstanding += done;
            }
        }
        pollfd wait{handle, POLLIN, 0};
        if (poll(&wait, 1, 10) <= 0) {
            // Nothing for a while: what is in flight is lost.
            if (Clock::now() - lastAnswer > std::chrono::milliseconds(100))
                outstanding = 0;
            continue;
        }
        for (int i = 0; i < Batch; ++i) {
            data[i] = {receive.data() + i * 512, 512};
            messages[i].msg_hdr = {};
            messages[i].msg_hdr.msg_iov = &data[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int got = recvmmsg(handle, messages, Batch, MSG_DONTWAIT, nullptr);
        if (got > 0) {
            answered += got;
            outstanding -= got;
            if (outstanding < 0)
                outstanding = 0;
            lastAnswer = Clock::now();
        }
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("%.0f answers/s (%ld sent, %ld answered)\n", static_cast<double>(answered) / elapsed, sent, answered);
    return 0;
}

// Names the server has never seen, from several clients at once: each answer with an address counts, a query
// unanswered after two seconds counts as lost and is not sent again.
int Learn(const char* server, int port, const char* firstSource, int clients, int names, int window, double seconds,
          const std::string& prefix) {
    struct Client {
        int handle = -1;
        int next = 0; // the next name to ask
        std::vector<Clock::time_point> sentAt;
        int inFlight = 0;
    };
    std::vector<Client> all(static_cast<std::size_t>(clients));
    in_addr source{};
    inet_pton(AF_INET, firstSource, &source);
    for (int c = 0; c < clients; ++c) {
        Client& client = all[static_cast<std::size_t>(c)];
        client.handle = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(ntohl(source.s_addr) + static_cast<std::uint32_t>(c));
        if (bind(client.handle, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            std::perror("bind");
            return 2;
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        inet_pton(AF_INET, server, &address.sin_addr);
        connect(client.handle, reinterpret_cast<sockaddr*>(&address), sizeof address);
        client.sentAt.assign(static_cast<std::size_t>(names), Clock::time_point{});
    }
    long answered = 0, failed = 0, lost = 0;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    auto last = start;
    std::vector<pollfd> waits(all.size());
    while (Clock::now() < end && answered + failed + lost < static_cast<long>(clients) * names) {
        const auto now = Clock::now();
        for (std::size_t c = 0; c < all.size(); ++c) {
            Client& client = all[c];
            // Lost: two seconds without an answer.
            for (int n = std::max(0, client.next - 4 * window); n < client.next; ++n) {
                auto& at = client.sentAt[static_cast<std::size_t>(n)];
                if (at != Clock::time_point{} && now - at > std::chrono::seconds(2)) {
                    at = {};
                    --client.inFlight;
                    ++lost;
                }
            }
            while (client.inFlight < window && client.next < names) {
                const std::string name = prefix + "-" + std::to_string(c) + "-" + std::to_string(client.next) + ".lan";
                const auto query = MakeQuery(static_cast<unsigned>(client.next), name);
                send(client.handle, query.data(), query.size(), 0);
                client.sentAt[static_cast<std::size_t>(client.next++)] = now;
                ++client.inFlight;
            }
            waits[c] = {client.handle, POLLIN, 0};
        }
        if (poll(waits.data(), waits.size(), 10) <= 0)
            continue;
        for (std::size_t c = 0; c < all.size(); ++c) {
            if (!(waits[c].revents & POLLIN))
                continue;
            Client& client = all[c];
            unsigned char answer[512];
            for (ssize_t got; (got = recv(client.handle, answer, sizeof answer, MSG_DONTWAIT)) >= 12;) {
                const int n = answer[0] << 8 | answer[1];
                if (n >= names || client.sentAt[static_cast<std::size_t>(n)] == Clock::time_point{})
                    continue;
                client.sentAt[static_cast<std::size_t>(n)] = {};
                --client.inFlight;
                ((answer[3] & 15) == 0 && answer[7] == 1 ? answered : failed)++;
                last = Clock::now();
            }
        }
    }
    const double elapsed = std::chrono::duration<double>(last - start).count();
    std::printf("%.0f names learned/s (%ld answered with an address, %ld failed, %ld lost, in %.2f s)\n",
                static_cast<double>(answered) / elapsed, answered, failed, lost, elapsed);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "probe" && argc == 6)
        return Probe(argv[2], std::atoi(argv[3]), argv[4], std::atof(argv[5]));
    if (mode == "run" && (argc == 6 || argc == 7))
        return Run(argv[2], std::atoi(argv[3]), argv[4], std::atof(argv[5]), argc == 7 ? std::atoi(argv[6]) : 256);
    if (mode == "learn" && argc == 10)
        return Learn(argv[2], std::atoi(argv[3]), argv[4], std::atoi(argv[5]), std::atoi(argv[6]), std::atoi(argv[7]),
                     std::atof(argv[8]), argv[9]);
    std::fprintf(stderr, "usage: load_generator run SERVER PORT NAMES-FILE SECONDS [WINDOW]\n"
                         "       load_generator probe SERVER PORT NAME SECONDS\n"
                         "       load_generator learn SERVER PORT FIRST-SOURCE CLIENTS NAMES WINDOW SECONDS PREFIX\n");
    return 2;
}
