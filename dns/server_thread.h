#pragma once

#include "dns/local_domains.h"
#include "dns/resolver_pool.h"
#include "dns/server_addresses.h"
#include "dns/service_setup.h"
#include "platform/files.h"
#include "platform/network.h"
#include "platform/udp_socket.h"
#include "platform/wake.h"
#include "resolutions/resolution_file.h"
#include "resolutions/resolution_table.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// What the service answers from and where it listens. The table, the pool and the list stay the caller's and
// must outlive the service; while it runs, the server thread alone uses the table.
struct ServiceSettings {
    ResolutionTable* table = nullptr;
    std::string fileName;                  // the resolution file, which learned entries are written to
    LocalAddressList addresses;            // for entries answered with the server's own address
    std::vector<InterfaceAddress> machine; // the machine's own addresses, to reply from
    LocalAddressChoice addressChoice;      // how the command line shaped `addresses` from `machine`
    bool terminal = false;                 // console lines show control bytes as '?'
    std::uint32_t timeToLive = 60;         // of answers from the table (-t)
    std::string hostName;                  // the machine's, for PTR questions of its own addresses
    LocalDomains localDomains;             // under which the table's names of one label answer too
    std::uint32_t bindAddress = 0;         // any local address
    std::uint16_t port = 53;
    ResolverPool* resolverPool = nullptr;
    ResolveHostFunction resolveHost = ResolveHost;
    // Lists the machine's addresses anew whenever the system tells of a change; none keeps those of the start.
    std::vector<InterfaceAddress> (*listAddresses)() = ListInterfaceAddresses;
    // Tells the lookups of the resolver back from the resolver; none where every client is another process.
    bool (*isOwnLookup)(std::uint32_t address, std::uint16_t port) = IsOwnUdpSocket;
    // Tells who sent an empty datagram from this machine, which stops the service only from root or its own user.
    std::optional<UdpSocketOwner> (*findSocketOwner)(std::uint32_t address, std::uint16_t port) = FindUdpSocketOwner;
    // The file as the table was loaded from it. When it held exactly that table learned entries are appended
    // to it; otherwise the first learned entry writes the file whole.
    KnownResolutionFile loadedFile;
    // Called on the server thread when an empty datagram from this machine has ended the service, after its line.
    void (*onEnded)() = nullptr;
    // Called on the server thread with the error line of a failed write of the file, when the write before it
    // succeeded: once for a disk that goes on failing.
    void (*onSaveFailed)(std::string_view line) = nullptr;
};

// A running service, owned by whoever started it. The server thread reads `stopRequested` and takes the
// requests; the rest is the starter's.
struct DnsService {
    ServiceSocket set; // set up, and not yet handed to the thread
    std::thread thread;
    WakeHandle wake; // ends the thread's wait for a datagram; signalled by the stop, the requests and the saver
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> statisticsRequested{false}; // set by RequestStatistics
    std::atomic<bool> reloadRequested{false};     // set by RequestReload
};

// Sets up the service's sockets, bound: datagrams and connections wait in them from then on. Nothing is kept when a
// step fails: also when another socket holds the port on an address the service would answer on (a second copy, another
// server), with the bind's error.
ServiceSetUp SetUpService(DnsService& service, const ServiceSettings& settings);

// Starts the DNS service that SetUpService set up on a thread of its own.
void StartServerThread(DnsService& service, ServiceSettings settings);

// Asks the service for one console line of what it has done since it started. From any thread.
void RequestStatistics(DnsService& service);

// Asks the running service to read its resolution file anew and answer from what it holds; from any thread.
// The service prints one line when it has. Does nothing when the service is not running.
void RequestReload(DnsService& service);

// Ends the service at once: it answers and learns nothing more, and the thread is woken and joined. Lookups under
// way are forgotten, not waited for; a save under way is finished. Does nothing when the service is not running.
void StopServerThread(DnsService& service);
