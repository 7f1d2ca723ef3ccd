#include "platform/udp_socket.h"

#include "platform/socket_address.h"

#include <winsock2.h>

// These need winsock2.h before them.
#include <iphlpapi.h>
#include <mswsock.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>
#include <vector>

namespace {

constexpr std::size_t MostWakes = 4;

SOCKET Native(SocketHandle handle) { return static_cast<SOCKET>(handle.value); }
WSAEVENT Readable(SocketHandle handle) { return reinterpret_cast<WSAEVENT>(handle.event); }

// WSARecvMsg is reached through the socket, not linked.
LPFN_WSARECVMSG ReceiveMessageFunction(SOCKET handle) {
    GUID id = WSAID_WSARECVMSG;
    LPFN_WSARECVMSG function = nullptr;
    DWORD got = 0;
    if (WSAIoctl(handle, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &function, sizeof function, &got, nullptr,
                 nullptr) != 0)
        return nullptr;
    return function;
}

} // namespace

SocketResult CreateUdpSocket() {
    const SOCKET handle = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (handle == INVALID_SOCKET)
        return {{}, WSAGetLastError()};
    // Without it replies still go out, only from the address the system chooses.
    const DWORD on = 1;
    setsockopt(handle, IPPROTO_IP, IP_PKTINFO, reinterpret_cast<const char*>(&on), sizeof on);
    // Windows reports an earlier reply's unreachable client as a failed receive; it is no failure of ours.
    BOOL report = FALSE;
    DWORD got = 0;
    WSAIoctl(handle, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &got, nullptr, nullptr);
    // An event set while a datagram waits, so that the receive can wait for it and a wake-up at once. The socket
    // becomes non-blocking with it.
    const WSAEVENT readable = WSACreateEvent();
    if (readable == WSA_INVALID_EVENT || WSAEventSelect(handle, readable, FD_READ) != 0) {
        const int error = WSAGetLastError();
        if (readable != WSA_INVALID_EVENT)
            WSACloseEvent(readable);
        closesocket(handle);
        return {{}, error};
    }
    return {{static_cast<std::intptr_t>(handle), reinterpret_cast<std::intptr_t>(readable)}, 0};
}

// None: an exclusive socket on every address would keep Internet Connection Sharing, Hyper-V's switch, WSL2 and
// the Mobile Hotspot from their own address's port 53 when they start after it, and refuse to bind beside them.
// Windows gives the datagrams to an address to a socket bound to that address, and lets no other account bind
// every address again.
int SetServerSocketOptions(SocketHandle) { return 0; }

int BindSocket(SocketHandle handle, std::uint32_t address, std::uint16_t port) {
    const sockaddr_in local = ToSockaddr(address, htons(port));
    return bind(Native(handle), reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 ? 0 : WSAGetLastError();
}

int ProbeUdpPort(std::uint32_t address, std::uint16_t port) {
    const SOCKET probe = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (probe == INVALID_SOCKET)
        return WSAGetLastError();
    const sockaddr_in local = ToSockaddr(address, htons(port));
    const int error = bind(probe, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 ? 0 : WSAGetLastError();
    closesocket(probe);
    return error;
}

// A socket bound with SO_EXCLUSIVEADDRUSE (as other servers may bind theirs), or with SO_REUSEADDR to that very
// address, denies the probe's bind access rather than reporting the address in use.
bool IsPortHeld(int error) { return error == WSAEADDRINUSE || error == WSAEACCES; }

namespace {

// The user of a process's token, and whether that token is an administrator's: the system's own account, or one
// elevated (an administrator's, where User Account Control is off).
struct ProcessUser {
    std::vector<unsigned char> tokenUser; // a TOKEN_USER
    bool administrator = false;
};

PSID UserSid(const ProcessUser& user) { return reinterpret_cast<const TOKEN_USER*>(user.tokenUser.data())->User.Sid; }

// Nothing when the token cannot be read: an unprivileged account may not read another account's.
std::optional<ProcessUser> ReadProcessUser(HANDLE process) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token))
        return std::nullopt;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    ProcessUser found{std::vector<unsigned char>(size), false};
    TOKEN_ELEVATION elevation{};
    DWORD got = 0;
    const bool read = size >= sizeof(TOKEN_USER) &&
                      GetTokenInformation(token, TokenUser, found.tokenUser.data(), size, &size) &&
                      GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &got);
    CloseHandle(token);
    if (!read)
        return std::nullopt;
    found.administrator = elevation.TokenIsElevated != 0 || IsWellKnownSid(UserSid(found), WinLocalSystemSid);
    return found;
}

UdpSocketOwner OwnerOfProcess(DWORD processId, const std::optional<ProcessUser>& ours) {
    if (processId == GetCurrentProcessId())
        return {true, true, ours && ours->administrator};
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process == nullptr)
        return {};
    const std::optional<ProcessUser> theirs = ReadProcessUser(process);
    CloseHandle(process);
    if (!theirs)
        return {};
    return {false, ours && EqualSid(UserSid(*ours), UserSid(*theirs)), theirs->administrator};
}

} // namespace

std::optional<UdpSocketOwner> FindUdpSocketOwner(std::uint32_t address, std::uint16_t port) {
    ULONG size = 0;
    GetExtendedUdpTable(nullptr, &size, FALSE, AF_INET, UDP_TABLE_OWNER_PID, 0);
    std::vector<unsigned char> buffer(size + 1024);
    size = static_cast<ULONG>(buffer.size());
    if (GetExtendedUdpTable(buffer.data(), &size, FALSE, AF_INET, UDP_TABLE_OWNER_PID, 0) != NO_ERROR)
        return std::nullopt;
    DWORD count = 0;
    std::memcpy(&count, buffer.data(), sizeof count);
    const std::optional<ProcessUser> ours = ReadProcessUser(GetCurrentProcess());
    std::optional<UdpSocketOwner> found;
    // Never past what the call filled in, whatever the count says.
    const std::size_t first = offsetof(MIB_UDPTABLE_OWNER_PID, table);
    const std::size_t most = size > first ? (size - first) / sizeof(MIB_UDPROW_OWNER_PID) : 0;
    for (std::size_t i = 0; i < std::min<std::size_t>(count, most); ++i) {
        MIB_UDPROW_OWNER_PID row{};
        std::memcpy(&row, buffer.data() + first + i * sizeof row, sizeof row);
        if (static_cast<std::uint16_t>(row.dwLocalPort) != port ||
            (row.dwLocalAddr != address && row.dwLocalAddr != INADDR_ANY))
            continue;
        const UdpSocketOwner owner = OwnerOfProcess(row.dwOwningPid, ours);
        found = found ? CommonOwner(*found, owner) : owner;
    }
    return found;
}

void CloseSocket(SocketHandle handle) {
    if (handle.value >= 0)
        closesocket(Native(handle));
    if (handle.event != -1)
        WSACloseEvent(Readable(handle));
}

namespace {

// Waits until the socket has a datagram, a wake-up came or the time is up; true for a wake-up or the time.
bool WaitForDatagramOrWake(SocketHandle handle, std::span<const WakeHandle> wakes, std::chrono::milliseconds wait,
                           int& error) {
    HANDLE waits[1 + MostWakes] = {Readable(handle)};
    const std::size_t wakeCount = std::min(wakes.size(), MostWakes);
    for (std::size_t i = 0; i < wakeCount; ++i)
        waits[1 + i] = reinterpret_cast<HANDLE>(wakes[i].value);
    const DWORD timeout = wait < NoWait ? INFINITE : static_cast<DWORD>(wait.count());
    const DWORD woken = WaitForMultipleObjects(static_cast<DWORD>(1 + wakeCount), waits, FALSE, timeout);
    if (woken == WAIT_FAILED) {
        error = static_cast<int>(GetLastError());
        return false;
    }
    return woken != WAIT_OBJECT_0;
}

// The address the datagram was sent to, from its packet information; 0 when it has none.
std::uint32_t DestinationOf(WSAMSG& message) {
    std::uint32_t destination = 0;
    for (WSACMSGHDR* item = WSA_CMSG_FIRSTHDR(&message); item != nullptr; item = WSA_CMSG_NXTHDR(&message, item)) {
        if (item->cmsg_level == IPPROTO_IP && item->cmsg_type == IP_PKTINFO) {
            IN_PKTINFO info{};
            std::memcpy(&info, WSA_CMSG_DATA(item), sizeof info);
            destination = info.ipi_addr.s_addr;
        }
    }
    return destination;
}

// A message of one buffer to or from the address, without packet information yet.
WSAMSG MessageFor(sockaddr_in& address, WSABUF& data) {
    WSAMSG message{};
    message.name = reinterpret_cast<sockaddr*>(&address);
    message.namelen = sizeof address;
    message.lpBuffers = &data;
    message.dwBufferCount = 1;
    return message;
}

// Takes the datagram waiting, without waiting: 0, or the error of the receive (WSAEWOULDBLOCK when none waits).
int ReceiveOne(LPFN_WSARECVMSG receiveMessage, SocketHandle handle, DatagramBuffer& buffer,
               ReceivedDatagram& datagram) {
    // Reset before the receive: a datagram that comes after it sets the event again.
    WSAResetEvent(Readable(handle));
    sockaddr_in sender{};
    WSABUF data{static_cast<ULONG>(buffer.size()), reinterpret_cast<char*>(buffer.data())};
    alignas(WSACMSGHDR) char control[WSA_CMSG_SPACE(sizeof(IN_PKTINFO))] = {};
    WSAMSG message = MessageFor(sender, data);
    message.Control = {sizeof control, control};
    DWORD got = 0;
    datagram = {};
    if (receiveMessage(Native(handle), &message, &got, nullptr, nullptr) != 0) {
        const int error = WSAGetLastError();
        if (error != WSAEMSGSIZE)
            return error;
        datagram.truncated = true; // longer than the buffer: its tail is lost
    }
    datagram.truncated = datagram.truncated || (message.dwFlags & MSG_TRUNC) != 0;
    datagram.size = std::min<std::size_t>(got, buffer.size());
    datagram.sender = {sender.sin_addr.s_addr, sender.sin_port};
    // Windows tells the address the datagram was sent to, not the interface's own.
    datagram.destination = DestinationOf(message);
    return 0;
}

} // namespace

// One datagram a call: Windows has no receive of several at once.
ReceiveResult ReceiveDatagrams(SocketHandle handle, std::span<const WakeHandle> wakes,
                               std::span<DatagramBuffer> buffers, std::span<ReceivedDatagram> received,
                               std::chrono::milliseconds wait) {
    if (buffers.empty() || received.empty())
        return {0, 0};
    static const LPFN_WSARECVMSG receiveMessage = ReceiveMessageFunction(Native(handle));
    if (receiveMessage == nullptr)
        return {0, WSAEOPNOTSUPP};
    for (;;) {
        const int error = ReceiveOne(receiveMessage, handle, buffers[0], received[0]);
        if (error == 0)
            return {1, 0};
        if (error != WSAEWOULDBLOCK)
            return {0, error};
        if (wait == NoWait)
            return {0, 0};
        int waitError = 0;
        if (WaitForDatagramOrWake(handle, wakes, wait, waitError) || waitError != 0)
            return {0, waitError};
    }
}

void SendDatagrams(SocketHandle handle, std::span<OutgoingDatagram> datagrams) {
    for (OutgoingDatagram& datagram : datagrams) {
        sockaddr_in target = ToSockaddr(datagram.to.address, datagram.to.port);
        WSABUF data{static_cast<ULONG>(datagram.bytes.size()),
                    const_cast<char*>(reinterpret_cast<const char*>(datagram.bytes.data()))};
        alignas(WSACMSGHDR) char control[WSA_CMSG_SPACE(sizeof(IN_PKTINFO))] = {};
        WSAMSG message = MessageFor(target, data);
        if (datagram.from != 0) {
            message.Control = {sizeof control, control};
            WSACMSGHDR* item = WSA_CMSG_FIRSTHDR(&message);
            item->cmsg_level = IPPROTO_IP;
            item->cmsg_type = IP_PKTINFO;
            item->cmsg_len = WSA_CMSG_LEN(sizeof(IN_PKTINFO));
            IN_PKTINFO info{};
            info.ipi_addr.s_addr = datagram.from;
            std::memcpy(WSA_CMSG_DATA(item), &info, sizeof info);
        }
        DWORD sent = 0;
        datagram.error = WSASendMsg(Native(handle), &message, 0, &sent, nullptr, nullptr) == 0 ? 0 : WSAGetLastError();
    }
}
