// The least a DNS server can do on this kernel, for the benchmarks to measure the server against: it takes queries
// in batches with recvmmsg and answers each with one A record (10.0.0.1) with sendmmsg. No table, no console.
//   bare_responder ADDRESS PORT SECONDS     answers for SECONDS, then ends
// Only for loopback or a private namespace.
#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

int main(int argc, char** argv) {
    if (argc != 4)
        return 2;
    const int handle = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[2])));
    inet_pton(AF_INET, argv[1], &local.sin_addr);
    const timeval timeout{0, 100'000}; // the end is checked at least this often
    setsockopt(handle, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (bind(handle, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
        return 1;
    constexpr int Batch = 64;
    static unsigned char buffers[Batch][512];
    mmsghdr messages[Batch] = {};
    iovec data[Batch];
    sockaddr_in senders[Batch];
    const unsigned char record[] = {0xC0, 0x0C, 0, 1, 0, 1, 0x00, 0x89, 0x6B, 0xB0, 0, 4, 10, 0, 0, 1};
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(std::atof(argv[3]));
    while (std::chrono::steady_clock::now() < end) {
        for (int i = 0; i < Batch; ++i) {
            data[i] = {buffers[i], sizeof buffers[i] - sizeof record};
            messages[i].msg_hdr = {};
            messages[i].msg_hdr.msg_name = &senders[i];
            messages[i].msg_hdr.msg_namelen = sizeof senders[i];
            messages[i].msg_hdr.msg_iov = &data[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int got = recvmmsg(handle, messages, Batch, MSG_WAITFORONE, nullptr);
        int answers = 0;
        for (int i = 0; i < got; ++i) {
            // The question's name, then its type and class; the record goes behind them.
            unsigned char* query = buffers[i];
            const std::size_t length = messages[i].msg_len;
            std::size_t past = 12;
            while (past < length && query[past] != 0 && query[past] < 64)
                past += 1 + query[past];
            if (length < 12 || past + 5 > length || query[past] != 0)
                continue;
            past += 5;
            query[2] = 0x85, query[3] = 0, query[6] = 0, query[7] = 1;
            std::memset(query + 8, 0, 4);
            std::memcpy(query + past, record, sizeof record);
            data[answers] = {query, past + sizeof record};
            messages[answers].msg_hdr.msg_name = &senders[i];
            messages[answers].msg_hdr.msg_iov = &data[answers];
            ++answers;
        }
        if (answers > 0)
            sendmmsg(handle, messages, static_cast<unsigned>(answers), 0);
    }
    return 0;
}
