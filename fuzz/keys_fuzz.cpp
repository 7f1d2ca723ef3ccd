// The terminal key decoder: any bytes, in any pieces, decode without overflow or an endless wait for more.
#include "console/hot_keys.h"
#include "platform/posix/terminal_keys.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string pending;
    HotKeyState state;
    auto now = std::chrono::steady_clock::now();
    // Fed in pieces of up to 7 bytes, as a terminal may deliver them.
    for (std::size_t offset = 0; offset < size; offset += 7) {
        pending.append(reinterpret_cast<const char*>(data) + offset, std::min<std::size_t>(7, size - offset));
        for (const KeyEvent& event : TakeHotKeys(pending))
            HandleHotKey(state, event, now += std::chrono::milliseconds(10));
        if (pending.size() > size)
            std::abort();
    }
    return 0;
}
