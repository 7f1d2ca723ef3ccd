// A datagram in, its answer and console line out, against a small table: whatever arrives, the answer is the
// query's ID and question and one record (or a server failure), and nothing is read or written out of bounds.
#include "common/ipv4.h"
#include "dns/query_answer.h"
#include "resolutions/resolution_table.h"

#include <array>
#include <cstdlib>
#include <cstring>

namespace {

ResolutionTable& SmallTable() {
    static ResolutionTable table = [] {
        ResolutionTable made;
        AppendResolution(made, {"printer", {}, 0, MakeAddress(10, 0, 0, 1)});
        AppendResolution(made, {"gateway", {}, 0, 0});
        AppendResolution(made, {"files", "nas.lan", ForwardKind, 0});
        return made;
    }();
    return table;
}

void Require(bool condition) {
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const LocalAddressList addresses{{MakeAddress(127, 0, 0, 1), MakeAddress(192, 168, 0, 2)}, 0};
    HostName store{};
    const std::optional<Query> query = ReadQuery({data, size}, store);
    if (!query)
        return 0;
    Require(query->name.size() <= MaxHostNameLength && 12 + query->questionLength <= size);
    const TableAnswer table = AnswerFromTable(SmallTable(), addresses, query->name, MakeAddress(192, 168, 0, 9));
    std::array<std::uint8_t, AnswerBufferSize> answer{};
    const bool answered = table.outcome == TableAnswer::Outcome::Answered;
    const std::size_t length =
        answered ? WriteAnswerMessage(answer, *query, table.address) : WriteFailureMessage(answer, *query);
    Require(length == 12 + query->questionLength + (answered ? 16 : 0) && length <= answer.size());
    Require(std::memcmp(answer.data(), data, 2) == 0);
    Require(std::memcmp(answer.data() + 12, data + 12, query->questionLength) == 0);
    std::string line;
    AppendQueryLine(line, MakeAddress(192, 168, 0, 9), query->name, table.address, true);
    Require(line.back() == '\n');
    return 0;
}
