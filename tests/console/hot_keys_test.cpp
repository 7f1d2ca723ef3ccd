#include "console/hot_keys.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <thread>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {


std::vector<KeyEvent> Take(std::string input) { return TakeHotKeys(input); }

const KeyEvent CtrlSpacePress{HotKey::CtrlSpace, KeyAction::Press};
const KeyEvent QuitPress{HotKey::CtrlShiftSpace, KeyAction::Press};

} // namespace

TEST(TakeHotKeys, ReadsNulModifyOtherKeysAndKittyReports) {
    using ::testing::ElementsAre;
    EXPECT_THAT(Take(std::string("a\0b", 3)), ElementsAre(CtrlSpacePress));
    EXPECT_THAT(Take("\x1b[27;5;32~\x1b[27;6;32~\x1b[27;5;99~"),
                ElementsAre(CtrlSpacePress, QuitPress, KeyEvent{HotKey::CtrlC, KeyAction::Press}));
    EXPECT_THAT(Take("\x1b[32;5u\x1b[32;5:2u\x1b[32;5:3u\x1b[32;6u\x1b[99;5u"),
                ElementsAre(CtrlSpacePress, KeyEvent{HotKey::CtrlSpace, KeyAction::Repeat},
                            KeyEvent{HotKey::CtrlSpace, KeyAction::Release}, QuitPress,
                            KeyEvent{HotKey::CtrlC, KeyAction::Press}));
    // Caps Lock and Num Lock do not matter; other modifiers and other keys do.
    EXPECT_THAT(Take("\x1b[32;69u\x1b[32;198u"), ElementsAre(CtrlSpacePress, QuitPress));
    EXPECT_TRUE(Take("\x1b[32;7u\x1b[32;2u\x1b[97;5u\x1b[A\x1b[27;5;13~\x1bOP x").empty());
}

TEST(TakeHotKeys, KeepsASequenceCutOffAtTheEndForLater) {
    std::string input = "\x1b[32;";
    EXPECT_TRUE(TakeHotKeys(input).empty());
    EXPECT_EQ(input, "\x1b[32;");
    input += "6u";
    EXPECT_THAT(TakeHotKeys(input), ::testing::ElementsAre(QuitPress));
    EXPECT_EQ(input, "");
}

TEST(HandleHotKey, OnePressTogglesOnceHoweverLongItIsHeld) {
    HotKeyState state;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(HandleHotKey(state, CtrlSpacePress, start), HotKeyResult::Toggle);
    // A terminal without event reports repeats the held key as presses, after a delay and then quickly.
    auto now = start + 500ms;
    for (int i = 0; i < 15; ++i, now += 33ms)
        EXPECT_EQ(HandleHotKey(state, CtrlSpacePress, now), HotKeyResult::None);
    // Adding Shift while still held does not quit.
    EXPECT_EQ(HandleHotKey(state, QuitPress, now), HotKeyResult::None);
    // Released for a while: the next press toggles again, and Ctrl+Shift+Space quits.
    now += 1s;
    EXPECT_EQ(HandleHotKey(state, CtrlSpacePress, now), HotKeyResult::Toggle);
    EXPECT_EQ(HandleHotKey(state, QuitPress, now + 1s), HotKeyResult::Quit);
}

TEST(HandleHotKey, ReportedReleasesEndTheHoldAtOnce) {
    HotKeyState state;
    const auto now = std::chrono::steady_clock::now();
    EXPECT_EQ(HandleHotKey(state, CtrlSpacePress, now), HotKeyResult::Toggle);
    EXPECT_EQ(HandleHotKey(state, {HotKey::CtrlSpace, KeyAction::Repeat}, now + 900ms), HotKeyResult::None);
    EXPECT_EQ(HandleHotKey(state, {HotKey::CtrlShiftSpace, KeyAction::Repeat}, now + 930ms), HotKeyResult::None);
    EXPECT_EQ(HandleHotKey(state, {HotKey::CtrlSpace, KeyAction::Release}, now + 950ms), HotKeyResult::None);
    EXPECT_EQ(HandleHotKey(state, CtrlSpacePress, now + 960ms), HotKeyResult::Toggle);
    EXPECT_EQ(HandleHotKey(state, {HotKey::CtrlC, KeyAction::Press}, now + 970ms), HotKeyResult::Quit);
}

#ifdef PROGRAM_PATH
// The whole program on a pseudo-terminal, in a private network namespace so that it binds no real port: a NUL
// byte asks the terminal to iconify its window, a kitty Ctrl+Shift+Space report quits, and the terminal is left
// as it was found.
TEST(RunHotKeyLoop, TogglesAndQuitsOnATerminal) {
    char directory[] = "/tmp/dns-pty-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string file = std::string(directory) + "/default.drf";
    // One entry, so that the service starts: printer at 10.0.0.1.
    const char bytes[] = "\x01\0\0\0\0\0\0\0\x07\0printer\x0a\0\0\x01";
    const int written = open(file.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(write(written, bytes, sizeof bytes - 1), static_cast<ssize_t>(sizeof bytes - 1));
    close(written);

    int terminal = -1;
    const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (unshare(CLONE_NEWNET) != 0)
            _exit(77);
        execl(PROGRAM_PATH, PROGRAM_PATH, file.c_str(), static_cast<char*>(nullptr));
        _exit(78);
    }
    termios before{};
    tcgetattr(terminal, &before);
    std::string output;
    const auto readUntil = [&](std::string_view wanted) {
        for (int tries = 0; tries < 100 && output.find(wanted) == std::string::npos; ++tries) {
            pollfd wait{terminal, POLLIN, 0};
            if (poll(&wait, 1, 50) > 0) {
                char chunk[4096];
                const ssize_t got = read(terminal, chunk, sizeof chunk);
                if (got <= 0)
                    return false;
                output.append(chunk, static_cast<std::size_t>(got));
            }
        }
        return output.find(wanted) != std::string::npos;
    };
    const bool started = readUntil("\x1b[>3u");
    termios during{};
    tcgetattr(terminal, &during);
    ASSERT_EQ(write(terminal, "\0", 1), 1);
    const bool hidden = readUntil("\x1b[2t");
    // Past the time in which a further press would count as the same hold.
    std::this_thread::sleep_for(HotKeyState::HoldGap + 100ms);
    ASSERT_EQ(write(terminal, "\x1b[32;6u", 7), 7);
    const bool restored = readUntil("\x1b[<u\x1b[>4m");
    int status = 0;
    for (int tries = 0; tries < 100 && waitpid(child, &status, WNOHANG) == 0; ++tries)
        std::this_thread::sleep_for(50ms);
    if (kill(child, 0) == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    termios after{};
    tcgetattr(terminal, &after);
    close(terminal);
    unlink(file.c_str());
    rmdir(directory);

    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "no private network namespace here (needs root)";
    EXPECT_TRUE(started) << output;
    EXPECT_EQ(during.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_NE(during.c_lflag & ISIG, 0u);
    EXPECT_TRUE(hidden) << output;
    EXPECT_TRUE(restored) << output;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_NE(output.find("\x1b]0;The Velquorn Software DNS Server\x07"), std::string::npos);
    EXPECT_NE(output.find("> DNS server running\r\n"), std::string::npos);
}
#endif
