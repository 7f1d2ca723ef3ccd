#pragma once

#include "dns/resolver_pool.h"
#include "dns/server_addresses.h"
#include "platform/files.h"
#include "platform/network.h"
#include "platform/wake.h"
#include "resolutions/resolution_file.h"
#include "resolutions/resolution_table.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// What the service answers from and where it listens. The table, the pool and the list stay the caller's and
// must outlive the service; while it runs, the server thread alone uses the table.
struct ServiceSettings {
    ResolutionTable* table = nullptr;
    std::string fileName;                  // the resolution file, which learned entries are written to
    LocalAddressList addresses;            // for entries answered with the server's own address
    std::vector<InterfaceAddress> machine; // the machine's own addresses, to reply from
    bool terminal = false;                 // console lines show control bytes as '?'
    std::uint32_t bindAddress = 0;         // any local address
    std::uint16_t port = 53;
    ResolverPool* resolverPool = nullptr;
    ResolveHostFunction resolveHost = ResolveHost;
    // The file as the table was loaded from it. When it held exactly that table learned entries are appended
    // to it; otherwise the first learned entry writes the file whole.
    KnownResolutionFile loadedFile;
    // Called on the server thread when an empty datagram from this machine has ended the service.
    void (*onEnded)() = nullptr;
};

// Which step of setting up the service failed, with the platform's code of the failure.
struct ServiceSetUp {
    enum class Step { Done, CreateSocket, SetOptions, Bind } step = Step::Done;
    int error = 0;
};

// A running service, owned by whoever started it. The server thread reads `stopRequested` and takes
// `reloadRequested`; the rest is the starter's.
struct DnsService {
    std::thread thread;
    WakeHandle wake; // ends the thread's wait for a datagram; signalled by the stop, the reload and the saver
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> reloadRequested{false}; // set by RequestReload
};

// Sets up the socket and starts the DNS service on a thread of its own. Nothing is started when a step fails.
ServiceSetUp StartServerThread(DnsService& service, ServiceSettings settings);

// Asks the running service to read its resolution file anew and answer from what it holds; from any thread.
// The service prints one line when it has. Does nothing when the service is not running.
void RequestReload(DnsService& service);

// Ends the service at once: it answers and learns nothing more, and the thread is woken and joined. Lookups under
// way are forgotten, not waited for; a save under way is finished. Does nothing when the service is not running.
void StopServerThread(DnsService& service);
