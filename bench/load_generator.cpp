// A batched DNS load generator for the benchmarks, where dnsperf itself becomes the limit: it keeps a window of
// queries in flight over one UDP socket with sendmmsg and recvmmsg and counts the answers.
//   load_generator run SERVER PORT NAMES-FILE SECONDS [WINDOW]   prints answers per second
//   load_generator probe SERVER PORT NAME SECONDS               waits for the first answer; exit 1 without one
// Only for loopback or a private namespace: every loop is bounded by SECONDS.
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "probe" && argc == 6)
        return Probe(argv[2], std::atoi(argv[3]), argv[4], std::atof(argv[5]));
    if (mode == "run" && (argc == 6 || argc == 7))
        return Run(argv[2], std::atoi(argv[3]), argv[4], std::atof(argv[5]), argc == 7 ? std::atoi(argv[6]) : 256);
    std::fprintf(stderr, "usage: load_generator run SERVER PORT NAMES-FILE SECONDS [WINDOW]\n"
                         "       load_generator probe SERVER PORT NAME SECONDS\n");
    return 2;
}
