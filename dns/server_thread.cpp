#include "dns/server_thread.h"

#include "common/ipv4.h"
#include "dns/query_answer.h"
#include "platform/udp_socket.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

// Owned by the console thread: StartServerThread and StopServerThread are its only users.
std::thread ServerThreadHandle;
int WakeHandle = -1;
// Written by the console thread, read by the server thread.
std::atomic<bool> StopRequested{false};
// Written by the server thread as its last act, read by StopServerThread.
std::atomic<bool> ServerThreadEnded{false};

constexpr auto FailedReceivePause = std::chrono::milliseconds(100);
constexpr auto StopWaitStep = std::chrono::milliseconds(5);
constexpr int StopWaitSteps = 400;

bool SetUpSocket(int handle, const ServiceSettings& settings) {
    if (const int error = EnableAddressReuse(handle); error != 0) {
        std::printf("> Error: could not set socket options: %d\n", error);
        return false;
    }
    if (const int error = BindSocket(handle, settings.bindAddress, settings.port); error != 0) {
        std::printf("> Error: could not bind socket to port %u: %d\n", static_cast<unsigned>(settings.port), error);
        return false;
    }
    return true;
}

void ServeQueries(int handle, const ServiceSettings& settings) {
    // The buffers live here for the thread's whole life: a query costs no allocation.
    std::array<std::uint8_t, ReceiveBufferSize> receiveBuffer{};
    std::array<std::uint8_t, AnswerBufferSize> answerBuffer{};
    HostName queryName{};
    int failures = 0;
    while (ServerRunning && !StopRequested) {
        const ReceiveResult received = ReceiveDatagram(handle, WakeHandle, receiveBuffer);
        if (received.status == ReceiveStatus::Woken)
            return;
        if (received.status == ReceiveStatus::Failed) {
            // Retried at once the first time; a lasting error must not spin a core.
            if (++failures > 1 && WaitForWake(WakeHandle, FailedReceivePause))
                return;
            continue;
        }
        failures = 0;
        if (received.truncated)
            continue; // never answered from the first part of a longer datagram
        if (received.size == 0) {
            // Only this machine may switch the service off.
            if (IsLoopbackAddress(received.sender.address))
                ServerRunning = false;
            continue;
        }
        // Only the bytes received: the buffer still holds the previous, longer datagram.
        const std::span<const std::uint8_t> datagram(receiveBuffer.data(), received.size);
        const std::optional<std::string_view> name = BuildQueryName(datagram, queryName);
        if (!name)
            continue;
        const std::size_t length =
            AnswerQuery(answerBuffer, datagram, *name, received.sender.address, settings.resolveHost);
        if (length > 0 && !StopRequested)
            SendDatagram(handle, std::span<const std::uint8_t>(answerBuffer.data(), length), received.sender,
                         received.localAddress);
    }
}

} // namespace

std::optional<std::string_view> BuildQueryName(std::span<const std::uint8_t> datagram, HostName& store) {
    const std::size_t nameBytes = WireNameLength(datagram);
    // The first length byte is not part of the name; a root name gives an empty one.
    const std::size_t length = nameBytes > 1 ? nameBytes - 2 : 0;
    if (QuestionLength(datagram) == 0 || length > MaxHostNameLength)
        return std::nullopt;
    for (std::size_t i = 0; i < length; ++i) {
        const auto byte = static_cast<std::int8_t>(datagram[QueryNameOffset + 1 + i]);
        store[i] = byte <= 31 ? '.' : static_cast<char>(byte);
    }
    store[length] = '\0';
    return std::string_view(store.data(), length);
}

void ServerThread(ServiceSettings settings) {
    const SocketResult created = CreateUdpSocket();
    if (created.error != 0) {
        std::printf("> Error: could not create network socket: %d\n", created.error);
    } else {
        if (SetUpSocket(created.handle, settings))
            ServeQueries(created.handle, settings);
        CloseSocket(created.handle);
    }
    std::fflush(stdout);
    ServerThreadEnded = true;
}

void StartServerThread(const ServiceSettings& settings) {
    if (ServerThreadHandle.joinable())
        return;
    ServerRunning = true;
    StopRequested = false;
    ServerThreadEnded = false;
    WakeHandle = CreateWakeHandle();
    ServerThreadHandle = std::thread(ServerThread, settings);
}

void StopServerThread() {
    if (!ServerThreadHandle.joinable())
        return;
    StopRequested = true;
    SignalWake(WakeHandle);
    for (int step = 0; step < StopWaitSteps && !ServerThreadEnded; ++step)
        std::this_thread::sleep_for(StopWaitStep);
    if (ServerThreadEnded) {
        ServerThreadHandle.join();
        CloseWakeHandle(WakeHandle);
    } else {
        // Still inside the resolver: it sends nothing more once it is back, and the process may end meanwhile.
        // Its wake handle stays open for it.
        ServerThreadHandle.detach();
    }
    WakeHandle = -1;
}
