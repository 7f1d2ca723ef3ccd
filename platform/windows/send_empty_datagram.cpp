// send-empty-datagram PORT: sends an empty UDP datagram from 127.0.0.1:PORT to port 53 there, as a Windows process,
// and keeps its socket a second, so that the server can ask whose it is. Under Wine only a Windows process's socket
// has an owner the server can see, not a Linux process's. Built with the tests only. Exit code 0 when it was sent.
#include <winsock2.h>

#include <cstdio>
#include <cstdlib>

int main(int argumentCount, char** arguments) {
    if (argumentCount != 2) {
        std::fputs("usage: send-empty-datagram PORT\n", stderr);
        return 2;
    }
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return 1;
    const SOCKET sender = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    local.sin_port = htons(static_cast<u_short>(std::atoi(arguments[1])));
    sockaddr_in server = local;
    server.sin_port = htons(53);
    const bool sent = sender != INVALID_SOCKET &&
                      bind(sender, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 &&
                      sendto(sender, "", 0, 0, reinterpret_cast<const sockaddr*>(&server), sizeof server) == 0;
    if (!sent)
        std::fprintf(stderr, "send-empty-datagram: error %d\n", WSAGetLastError());
    Sleep(1000);
    closesocket(sender);
    WSACleanup();
    return sent ? 0 : 1;
}
