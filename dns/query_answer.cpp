#include "dns/query_answer.h"

#include "common/host_name.h"
#include "common/messages.h"
#include "common/process_state.h"
#include "console/server_addresses.h"
#include "resolutions/resolution_file.h"
#include "resolutions/resolution_table.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

namespace {

constexpr std::size_t AnswerOverhead = 33;

constexpr std::uint8_t HeaderAfterId[] = {
    0x85, 0x00, // response, authoritative, recursion desired; no error
    0x00, 0x01, // one question
    0x00, 0x01, // one answer
    0x00, 0x00, // no authority records
    0x00, 0x00, // no additional records
};

constexpr std::uint8_t FailureHeaderAfterId[] = {
    0x85, 0x02, // response, authoritative, recursion desired; server failure
    0x00, 0x01, // one question
    0x00, 0x00, // no answer
    0x00, 0x00, // no authority records
    0x00, 0x00, // no additional records
};

constexpr std::uint8_t RecordBeforeAddress[] = {
    0xC0, 0x0C,             // answer name: pointer to the question name
    0x00, 0x01,             // type A
    0x00, 0x01,             // class IN
    0x00, 0x89, 0x6B, 0xB0, // time to live, 9006000 seconds
    0x00, 0x04,             // four bytes of address
};

void PrintQueryStart(std::uint32_t clientAddress, std::string_view queryName) {
    std::printf("> %s: %.*s -> ", DottedAddress(clientAddress).data(), static_cast<int>(queryName.size()),
                queryName.data());
}

std::size_t Failure(std::span<std::uint8_t> answer, std::span<const std::uint8_t> query) {
    std::fputs("Failure.\n", stdout);
    return WriteFailureMessage(answer, query);
}

} // namespace

std::size_t WireNameLength(std::span<const std::uint8_t> query) {
    if (query.size() <= QueryNameOffset)
        return 0;
    const auto name = query.subspan(QueryNameOffset);
    const auto zero = std::find(name.begin(), name.end(), 0);
    return zero == name.end() ? 0 : static_cast<std::size_t>(zero - name.begin()) + 1;
}

std::size_t QuestionLength(std::span<const std::uint8_t> query) {
    const std::size_t nameBytes = WireNameLength(query);
    if (nameBytes == 0 || query.size() - QueryNameOffset - nameBytes < QuestionTypeAndClass)
        return 0;
    return nameBytes + QuestionTypeAndClass;
}

std::size_t AnswerLength(std::span<const std::uint8_t> query) {
    const std::size_t questionBytes = QuestionLength(query);
    return questionBytes == 0 ? 0 : questionBytes - 1 - QuestionTypeAndClass + AnswerOverhead;
}

std::size_t WriteAnswerMessage(std::span<std::uint8_t> answer, std::span<const std::uint8_t> query,
                               std::uint32_t address) {
    const std::size_t length = AnswerLength(query);
    if (length == 0 || length > answer.size())
        return 0;
    // The question goes back exactly as asked, so that clients match the answer to their question.
    const std::size_t questionBytes = QuestionLength(query);
    std::uint8_t* out = answer.data();
    out = std::copy_n(query.data(), 2, out);
    out = std::copy(std::begin(HeaderAfterId), std::end(HeaderAfterId), out);
    out = std::copy_n(query.data() + QueryNameOffset, questionBytes, out);
    out = std::copy(std::begin(RecordBeforeAddress), std::end(RecordBeforeAddress), out);
    std::memcpy(out, &address, sizeof address);
    return length;
}

std::size_t WriteFailureMessage(std::span<std::uint8_t> answer, std::span<const std::uint8_t> query) {
    const std::size_t questionBytes = QuestionLength(query);
    const std::size_t length = QueryNameOffset + questionBytes;
    if (questionBytes == 0 || length > answer.size())
        return 0;
    std::uint8_t* out = answer.data();
    out = std::copy_n(query.data(), 2, out);
    out = std::copy(std::begin(FailureHeaderAfterId), std::end(FailureHeaderAfterId), out);
    std::copy_n(query.data() + QueryNameOffset, questionBytes, out);
    return length;
}

std::size_t AnswerQuery(std::span<std::uint8_t> answer, std::span<const std::uint8_t> query, std::string_view queryName,
                        std::uint32_t clientAddress, ResolveHostFunction resolveHost) {
    PrintQueryStart(clientAddress, queryName);
    // A name that no entry could hold, or a query whose answer would not fit, is neither asked nor learned.
    const std::size_t length = AnswerLength(query);
    if (queryName.size() > MaxHostNameLength || length == 0 || length > answer.size())
        return Failure(answer, query);

    if (const ResolutionEntry* entry = FindResolution(*Resolutions, queryName)) {
        std::uint32_t address = entry->address;
        if (entry->kind == ForwardKind) {
            const std::optional<std::uint32_t> forwarded = resolveHost(entry->target.data());
            if (!forwarded)
                return Failure(answer, query);
            address = *forwarded;
        } else if (address == 0) {
            address = ChooseServerAddress(clientAddress);
        }
        WriteAnswerMessage(answer, query, address);
        std::printf("%s\n", DottedAddress(address).data());
        return length;
    }

    // The start of the line is shown while the resolver works, which may take a while.
    std::fflush(stdout);
    auto learned = std::make_unique<ResolutionEntry>();
    CopyHostName(learned->name, queryName);
    const std::optional<std::uint32_t> resolved = resolveHost(learned->name.data());
    if (!resolved)
        return Failure(answer, query);
    learned->address = *resolved;
    AppendResolution(*Resolutions, std::move(learned));
    WriteAnswerMessage(answer, query, *resolved);
    std::printf("%s\n", DottedAddress(*resolved).data());
    if (const int error = SaveResolutionFile(*Resolutions, ResolutionFileName.data()); error != 0)
        PrintSaveError(ResolutionFileName.data(), error);
    return length;
}
