#include "console/hot_keys.h"

#include "platform/console.h"
#include "platform/keyboard.h"
#include "platform/signals.h"

namespace {

constexpr auto PollInterval = std::chrono::milliseconds(50);

} // namespace

HotKeyResult HandleHotKey(HotKeyState& state, const KeyEvent& event, std::chrono::steady_clock::time_point now) {
    if (event.key == HotKey::CtrlC)
        return event.action == KeyAction::Press ? HotKeyResult::Quit : HotKeyResult::None;
    if (event.action == KeyAction::Release) {
        state.held = false;
        return HotKeyResult::None;
    }
    const bool holding = state.held && now - state.lastSeen < HotKeyState::HoldGap;
    state.held = true;
    state.lastSeen = now;
    if (event.action == KeyAction::Repeat || holding)
        return HotKeyResult::None; // still the same hold, Shift added or not
    return event.key == HotKey::CtrlShiftSpace ? HotKeyResult::Quit : HotKeyResult::Toggle;
}

HotKeyAction DecideHotKeyAction(HotKeyResult result, bool focused, bool windowHidden) {
    switch (result) {
    case HotKeyResult::Quit:
        return focused ? HotKeyAction::Quit : HotKeyAction::None;
    case HotKeyResult::Toggle:
        return windowHidden ? HotKeyAction::Show : focused ? HotKeyAction::Hide : HotKeyAction::None;
    case HotKeyResult::None:
        break;
    }
    return HotKeyAction::None;
}

HotKeyLoopEnd RunHotKeyLoop(DnsService& service, bool serviceFailed) {
    const bool readKeys = BeginKeyInput();
    if (!readKeys && serviceFailed)
        return HotKeyLoopEnd::ServiceFailed;
    if (!readKeys)
        ReloadOnHangUp();
    HotKeyState state;
    bool hidden = false;
    bool quit = false;
    HotKeyLoopEnd end = HotKeyLoopEnd::Quit;
    while (!quit) {
        // The wait for a signal is the pause between two passes.
        const ConsoleEvent event = WaitForConsoleEvent(readKeys ? std::optional(PollInterval) : std::nullopt);
        if (event == ConsoleEvent::Quit)
            break;
        if (event == ConsoleEvent::Statistics)
            RequestStatistics(service);
        if (event == ConsoleEvent::Reload)
            RequestReload(service);
        if (!readKeys) {
            // At a terminal the program runs on, as ever; a service manager must see a service that has ended.
            if (event == ConsoleEvent::ServiceEnded) {
                end = HotKeyLoopEnd::ServiceEnded;
                break;
            }
            continue;
        }
        for (const KeyEvent& event : ReadKeyEvents()) {
            const HotKeyResult result = HandleHotKey(state, event, std::chrono::steady_clock::now());
            const HotKeyAction action = DecideHotKeyAction(result, event.focused, hidden);
            if (action == HotKeyAction::Quit) {
                quit = true;
                break;
            }
            if (action == HotKeyAction::Hide || action == HotKeyAction::Show) {
                hidden = action == HotKeyAction::Hide;
                ShowConsoleWindow(!hidden);
            }
        }
    }
    EndKeyInput();
    return end;
}
