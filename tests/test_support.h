#pragma once

#include "common/process_state.h"
#include "dns/server_addresses.h"
#include "resolutions/resolution_table.h"

#include <array>
#include <cstdint>
#include <memory>
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

// Stands in for the system resolver, from any thread: answers from a small map and counts the questions. A
// lookup of a name that begins with "slow" first waits until ReleaseSlowLookups (or five seconds), as a resolver
// whose upstream is slow or does not answer.
std::optional<std::uint32_t> ResolveFake(const char* hostName);
void SetFakeHost(const std::string& name, std::uint32_t address);
int FakeLookups();
void ReleaseSlowLookups();

// Saves the process-wide statics that the service and the editor read and restores them at the end of the test;
// gives the test an empty table, a resolution file in a fresh directory and an empty fake resolver.
struct ServiceStatics {
    TemporaryDirectory directory;
    std::unique_ptr<ResolutionTable> table = std::make_unique<ResolutionTable>();
    std::array<char, 260> savedFileName = ResolutionFileName;
    ResolutionTable* savedResolutions = Resolutions;
    LocalAddressList savedAddresses = LocalAddresses;

    ServiceStatics();
    ~ServiceStatics();
    std::string FileName() const { return ResolutionFileName.data(); }
    // Points ResolutionFileName at a file in the test's directory and returns its path.
    std::string SetFileName(std::string_view name);
};

// A query datagram: the ID, flags 0x0100 (recursion desired), one question with the labels, the type, class IN.
Bytes MakeQuery(std::uint16_t id, std::initializer_list<std::string_view> labels, std::uint16_t type = 1);
