#include "platform/posix/terminal_keys.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::ElementsAre;

namespace {

const KeyEvent Toggle{HotKey::CtrlSpace, KeyAction::Press};
const KeyEvent Quit{HotKey::CtrlShiftSpace, KeyAction::Press};
const KeyEvent Interrupt{HotKey::CtrlC, KeyAction::Press};

std::vector<KeyEvent> Take(std::string input) { return TakeHotKeys(input); }

} // namespace

TEST(TakeHotKeys, ReadsNulModifyOtherKeysAndKittyReports) {
    EXPECT_THAT(Take(std::string("a\0b", 3)), ElementsAre(Toggle));
    EXPECT_THAT(Take("\x1b[27;5;32~\x1b[27;6;32~\x1b[27;5;99~"), ElementsAre(Toggle, Quit, Interrupt));
    EXPECT_THAT(Take("\x1b[32;5:2u\x1b[32;5:3u\x1b[99;5u"),
                ElementsAre(KeyEvent{HotKey::CtrlSpace, KeyAction::Repeat},
                            KeyEvent{HotKey::CtrlSpace, KeyAction::Release}, Interrupt));
    // Caps Lock and Num Lock do not matter; other modifiers and other keys do.
    EXPECT_THAT(Take("\x1b[32;69u\x1b[32;198u"), ElementsAre(Toggle, Quit));
    EXPECT_TRUE(Take("\x1b[32;7u\x1b[32;2u\x1b[97;5u\x1b[A\x1b[27;5;13~\x1bOP x").empty());
    // Hostile parameters are bounded as they are read: no overflow, no event.
    EXPECT_TRUE(Take("\x1b[32;-2147483648u\x1b[32;99999999999999999999u\x1b[27;0;32~").empty());

    // A report cut off at the end waits for the rest.
    std::string input = "\x1b[32;";
    EXPECT_TRUE(TakeHotKeys(input).empty());
    input += "6u";
    EXPECT_THAT(TakeHotKeys(input), ElementsAre(Quit));
    EXPECT_EQ(input, "");
}
