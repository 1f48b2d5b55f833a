#pragma once

#include <cstdint>

namespace tap {

/// Windows virtual-key codes of the keys named anywhere in the key path: the
/// key table, the terminal decoder and the Windows console all speak them.
/// Letters and main-row digits are their upper-case ASCII codes.
namespace vk {
constexpr std::uint16_t BACKSPACE = 8;
constexpr std::uint16_t TAB = 9;
constexpr std::uint16_t CLEAR = 12;  // the keypad's 5 with Num Lock off
constexpr std::uint16_t ENTER = 13;
constexpr std::uint16_t ESCAPE = 27;
constexpr std::uint16_t SPACE = 32;
constexpr std::uint16_t PAGE_UP = 33;
constexpr std::uint16_t PAGE_DOWN = 34;
constexpr std::uint16_t END = 35;
constexpr std::uint16_t HOME = 36;
constexpr std::uint16_t LEFT = 37;
constexpr std::uint16_t UP = 38;
constexpr std::uint16_t RIGHT = 39;
constexpr std::uint16_t DOWN = 40;
constexpr std::uint16_t INSERT = 45;
constexpr std::uint16_t DELETE_KEY = 46;  // <windows.h> has a DELETE macro
constexpr std::uint16_t NUMPAD0 = 96;     // to NUMPAD9 = 105
constexpr std::uint16_t MULTIPLY = 106;
constexpr std::uint16_t ADD = 107;
constexpr std::uint16_t SUBTRACT = 109;
constexpr std::uint16_t DECIMAL = 110;
constexpr std::uint16_t DIVIDE = 111;
constexpr std::uint16_t F1 = 112;  // to F12 = 123
// The punctuation keys of a US layout.
constexpr std::uint16_t SEMICOLON = 186;
constexpr std::uint16_t EQUALS = 187;
constexpr std::uint16_t COMMA = 188;
constexpr std::uint16_t MINUS = 189;
constexpr std::uint16_t PERIOD = 190;
constexpr std::uint16_t SLASH = 191;
constexpr std::uint16_t BACKQUOTE = 192;
constexpr std::uint16_t LEFT_BRACKET = 219;
constexpr std::uint16_t BACKSLASH = 220;
constexpr std::uint16_t RIGHT_BRACKET = 221;
constexpr std::uint16_t QUOTE = 222;
}  // namespace vk

/// The codes of read_key that the dialogue acts on: ENTER and the space bar
/// as one code each, the arrows as 0 followed by their second code (the IBM
/// PC BIOS scan codes).
constexpr int CODE_EXTENDED = 0;
constexpr int CODE_ENTER = 13;
constexpr int CODE_SPACE = 32;
constexpr int SECOND_CODE_UP = 72;
constexpr int SECOND_CODE_LEFT = 75;
constexpr int SECOND_CODE_RIGHT = 77;
constexpr int SECOND_CODE_DOWN = 80;
/// A lane key's release: this plus the key's digit ('1' left, '2' down, '3'
/// up, '4' right, '9' the space bar), one code, past every byte; a reader
/// gives it only to a dialogue that asked for releases.
constexpr int CODE_RELEASED = 0x100;

}  // namespace tap
