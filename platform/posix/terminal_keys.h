#pragma once

#include "platform/keyboard.h"

#include <string>
#include <vector>

// Takes the hot keys out of what the terminal sent: a NUL byte (Ctrl+Space on most terminals), xterm's
// modifyOtherKeys reports and kitty keyboard reports. Everything else is skipped. An escape sequence cut off at
// the end stays in the input for the next call.
std::vector<KeyEvent> TakeHotKeys(std::string& input);
