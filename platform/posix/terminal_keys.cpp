#include "platform/posix/terminal_keys.h"

#include <algorithm>
#include <optional>
#include <string_view>

namespace {

constexpr int SpaceCode = 32;
constexpr int LetterCCode = 99;
// Modifier bits of a key report, after the report's value has been lowered by one.
constexpr int ShiftBit = 1;
constexpr int CtrlBit = 4;
constexpr int LockBits = 64 | 128; // Caps Lock and Num Lock play no part

// Larger than any key code or modifier set; a parameter is capped there as it is read, so that nothing computed
// from it can overflow, whatever the terminal (or whoever writes to it) sends.
constexpr int MostParameterValue = 1 << 21;

// The numbers of a report's parameters, split at ';' and ':': the leading digits of each, 0 when there are none.
std::vector<int> ReportNumbers(std::string_view parameters) {
    std::vector<int> numbers(1, 0);
    bool inDigits = true;
    for (const char c : parameters) {
        if (c == ';' || c == ':') {
            numbers.push_back(0);
            inDigits = true;
        } else if (inDigits && c >= '0' && c <= '9') {
            numbers.back() = std::min(numbers.back() * 10 + (c - '0'), MostParameterValue);
        } else {
            inDigits = false;
        }
    }
    return numbers;
}

std::optional<KeyEvent> KeyOfReport(int code, int modifiers, int eventType) {
    const int held = (modifiers - 1) & ~LockBits;
    const KeyAction action =
        eventType == 2 ? KeyAction::Repeat : (eventType == 3 ? KeyAction::Release : KeyAction::Press);
    if (code == SpaceCode && held == CtrlBit)
        return KeyEvent{HotKey::CtrlSpace, action};
    if (code == SpaceCode && held == (CtrlBit | ShiftBit))
        return KeyEvent{HotKey::CtrlShiftSpace, action};
    if (code == LetterCCode && held == CtrlBit)
        return KeyEvent{HotKey::CtrlC, action};
    return std::nullopt;
}

// A control sequence's parameters and final byte: kitty reports "code;modifiers:event u", modifyOtherKeys
// reports "27;modifiers;code ~".
std::optional<KeyEvent> KeyOfSequence(std::string_view parameters, char final) {
    if (parameters.empty() || parameters[0] < '0' || parameters[0] > '9')
        return std::nullopt;
    if (final == 'u') {
        // code[:alternates];modifiers[:event]
        const std::size_t semicolon = parameters.find(';');
        const int code = ReportNumbers(parameters.substr(0, semicolon))[0];
        if (semicolon == std::string_view::npos)
            return KeyOfReport(code, 1, 1);
        const std::vector<int> rest = ReportNumbers(parameters.substr(semicolon + 1));
        return KeyOfReport(code, rest[0], rest.size() > 1 ? rest[1] : 1);
    }
    if (final == '~') {
        const std::vector<int> numbers = ReportNumbers(parameters);
        if (numbers.size() == 3 && numbers[0] == 27)
            return KeyOfReport(numbers[2], numbers[1], 1);
    }
    return std::nullopt;
}

} // namespace

std::vector<KeyEvent> TakeHotKeys(std::string& input) {
    std::vector<KeyEvent> events;
    std::size_t i = 0;
    while (i < input.size()) {
        if (input[i] == '\0') {
            events.push_back({HotKey::CtrlSpace, KeyAction::Press});
            ++i;
            continue;
        }
        if (input[i] != '\x1b') {
            ++i;
            continue;
        }
        if (i + 1 >= input.size())
            break; // the rest of the sequence has not arrived yet
        if (input[i + 1] != '[') {
            ++i;
            continue;
        }
        std::size_t end = i + 2;
        while (end < input.size() && (input[end] < 0x40 || input[end] > 0x7E))
            ++end;
        if (end >= input.size())
            break;
        if (const auto event = KeyOfSequence(std::string_view(input).substr(i + 2, end - i - 2), input[end]))
            events.push_back(*event);
        i = end + 1;
    }
    input.erase(0, i);
    return events;
}
