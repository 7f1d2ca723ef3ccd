#pragma once

#include "platform/files.h"
#include "platform/network.h"

#include <atomic>
#include <cstdint>
#include <optional>

// Where the service listens, whom it asks for names the table lacks, and what it knows of the resolution file.
// The program uses the defaults but for the file.
struct ServiceSettings {
    std::uint32_t bindAddress = 0; // any local address
    std::uint16_t port = 53;
    ResolveHostFunction resolveHost = ResolveHost;
    // The file as the table was loaded from it, when it held exactly that table: learned entries are then
    // appended to it. Without it the first learned entry writes the file whole.
    std::optional<FileIdentity> loadedFile;
    // Called on the server thread when the service ends by itself: its socket could not be set up, or an empty
    // datagram from this machine ended it.
    void (*onEnded)() = nullptr;
};

enum class ServiceEnd { Stopped, Ended, SetUpFailed };

// True from program start; cleared by the server thread when an empty datagram from this machine ends the
// service. Written by start-up before the thread exists and by the thread afterwards.
inline std::atomic<bool> ServerRunning{true};

// Starts the DNS service on a thread of its own; does not wait for its socket.
void StartServerThread(const ServiceSettings& settings = {});

// Ends the service at once: it answers and learns nothing more, and the thread is woken and joined. Lookups under
// way are forgotten, not waited for; a save under way is finished. Does nothing when the service never started.
// Tells how the service ended: by this call, by itself, or because its socket could not be set up.
ServiceEnd StopServerThread();

// The body of the server thread: sets up the socket, then receives, answers and sends until it is stopped.
void ServerThread(ServiceSettings settings);
