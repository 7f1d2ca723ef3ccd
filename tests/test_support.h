#pragma once

#include "platform/network.h"
#include "resolutions/resolution_table.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

// A fresh directory per test, removed with everything in it at the end.
struct TemporaryDirectory {
    std::string path;
    TemporaryDirectory();
    ~TemporaryDirectory();
    std::string File(std::string_view name) const { return path + "/" + std::string(name); }
};

// printer at 192.168.1.20, files forwarded to nas, gateway answered with the server's own address: 54 bytes.
extern const Bytes ExampleFile;
Bytes ReadBytes(const std::string& fileName);
void WriteBytes(const std::string& fileName, const Bytes& bytes);
std::vector<std::string> EntryNames(const ResolutionTable& table); // in table order

// Stands in for the system resolver, from any thread: answers from a small map, a name it lacks as no such name.
// A lookup of a name that begins with "slow" first waits until ReleaseSlowLookups (or five seconds), as a resolver
// whose upstream is slow or does not answer, and then fails.
HostLookup ResolveFake(const char* hostName);
void SetFakeHost(const std::string& name, std::uint32_t address);
void ReleaseSlowLookups();

// Empties the fake resolver: no hosts, slow lookups waiting again.
void ResetFakeResolver();

// A query datagram: the ID, flags 0x0100 (recursion desired), one question with the labels, the type, class IN.
Bytes MakeQuery(std::uint16_t id, std::initializer_list<std::string_view> labels, std::uint16_t type = 1);
// The message with one more additional record: an OPT record of the payload size, version and DO bit, and the
// option bytes.
Bytes WithOpt(Bytes message, std::uint16_t payloadSize = 1232, std::uint8_t version = 0, bool dnssecOk = false,
              const Bytes& options = {});
