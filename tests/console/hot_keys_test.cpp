#include "console/hot_keys.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

const KeyEvent Toggle{HotKey::CtrlSpace, KeyAction::Press};
const KeyEvent Quit{HotKey::CtrlShiftSpace, KeyAction::Press};
const KeyEvent Interrupt{HotKey::CtrlC, KeyAction::Press};

} // namespace

TEST(HandleHotKey, OnePressTogglesOnceHoweverLongItIsHeld) {
    HotKeyState state;
    auto now = std::chrono::steady_clock::now();
    EXPECT_EQ(HandleHotKey(state, Toggle, now), HotKeyResult::Toggle);
    // Without event reports a held key repeats as presses: after a delay, then quickly.
    now += 500ms;
    for (int i = 0; i < 15; ++i, now += 33ms)
        EXPECT_EQ(HandleHotKey(state, Toggle, now), HotKeyResult::None);
    EXPECT_EQ(HandleHotKey(state, Quit, now), HotKeyResult::None); // Shift added while held does not quit
    EXPECT_EQ(HandleHotKey(state, Toggle, now + 1s), HotKeyResult::Toggle);
    EXPECT_EQ(HandleHotKey(state, Quit, now + 2s), HotKeyResult::Quit);

    // A reported release ends the hold at once; Ctrl+C always quits.
    EXPECT_EQ(HandleHotKey(state, {HotKey::CtrlSpace, KeyAction::Release}, now + 2s), HotKeyResult::None);
    EXPECT_EQ(HandleHotKey(state, Toggle, now + 2s + 10ms), HotKeyResult::Toggle);
    EXPECT_EQ(HandleHotKey(state, {HotKey::CtrlSpace, KeyAction::Repeat}, now + 3s), HotKeyResult::None);
    EXPECT_EQ(HandleHotKey(state, Interrupt, now + 3s), HotKeyResult::Quit);
}
