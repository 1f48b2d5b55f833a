#include "console/key_table.h"

#include "console/virtual_keys.h"

namespace tap {
namespace {

constexpr std::int16_t two(int code) { return static_cast<std::int16_t>(TWO_STEP | code); }
constexpr std::int16_t X = NO_CODE;

}  // namespace

// Values follow the IBM PC BIOS keyboard convention: one-step codes are
// ASCII, second codes are BIOS extended codes (F1 59, Home 71, Up 72, ...).
const std::array<KeyTableEntry, KEY_TABLE_SIZE> KeyTable = {{
    // virtual key, plain, Shift, Ctrl, Alt
    {vk::BACKSPACE, 8, 8, 127, two(14)},
    {vk::TAB, 9, two(15), two(148), two(165)},
    {vk::ENTER, CODE_ENTER, CODE_ENTER, 10, two(166)},
    {vk::ESCAPE, 27, 27, 27, two(1)},
    {vk::SPACE, CODE_SPACE, CODE_SPACE, two(3), CODE_SPACE},
    {vk::PAGE_UP, two(73), two(73), two(132), two(153)},
    {vk::PAGE_DOWN, two(81), two(81), two(118), two(161)},
    {vk::END, two(79), two(79), two(117), two(159)},
    {vk::HOME, two(71), two(71), two(119), two(151)},
    {vk::LEFT, two(SECOND_CODE_LEFT), two(SECOND_CODE_LEFT), two(115), two(155)},
    {vk::UP, two(SECOND_CODE_UP), two(SECOND_CODE_UP), two(141), two(152)},
    {vk::RIGHT, two(SECOND_CODE_RIGHT), two(SECOND_CODE_RIGHT), two(116), two(157)},
    {vk::DOWN, two(SECOND_CODE_DOWN), two(SECOND_CODE_DOWN), two(145), two(160)},
    {vk::INSERT, two(82), two(82), two(146), two(162)},
    {vk::DELETE_KEY, two(83), two(83), two(147), two(163)},
    // Main-row digits; Shift gives the US symbols above them.
    {'0', '0', ')', X, two(129)},
    {'1', '1', '!', X, two(120)},
    {'2', '2', '@', two(3), two(121)},
    {'3', '3', '#', X, two(122)},
    {'4', '4', '$', X, two(123)},
    {'5', '5', '%', X, two(124)},
    {'6', '6', '^', 30, two(125)},
    {'7', '7', '&', X, two(126)},
    {'8', '8', '*', X, two(127)},
    {'9', '9', '(', X, two(128)},
    // Letters: Ctrl is the place in the alphabet, Alt the PC scan code.
    {'A', 'a', 'A', 1, two(30)},
    {'B', 'b', 'B', 2, two(48)},
    {'C', 'c', 'C', 3, two(46)},
    {'D', 'd', 'D', 4, two(32)},
    {'E', 'e', 'E', 5, two(18)},
    {'F', 'f', 'F', 6, two(33)},
    {'G', 'g', 'G', 7, two(34)},
    {'H', 'h', 'H', 8, two(35)},
    {'I', 'i', 'I', 9, two(23)},
    {'J', 'j', 'J', 10, two(36)},
    {'K', 'k', 'K', 11, two(37)},
    {'L', 'l', 'L', 12, two(38)},
    {'M', 'm', 'M', 13, two(50)},
    {'N', 'n', 'N', 14, two(49)},
    {'O', 'o', 'O', 15, two(24)},
    {'P', 'p', 'P', 16, two(25)},
    {'Q', 'q', 'Q', 17, two(16)},
    {'R', 'r', 'R', 18, two(19)},
    {'S', 's', 'S', 19, two(31)},
    {'T', 't', 'T', 20, two(20)},
    {'U', 'u', 'U', 21, two(22)},
    {'V', 'v', 'V', 22, two(47)},
    {'W', 'w', 'W', 23, two(17)},
    {'X', 'x', 'X', 24, two(45)},
    {'Y', 'y', 'Y', 25, two(21)},
    {'Z', 'z', 'Z', 26, two(44)},
    // Keypad with Num Lock on: Shift gives the navigation key beneath.
    {vk::NUMPAD0 + 0, '0', two(82), two(146), X},
    {vk::NUMPAD0 + 1, '1', two(79), two(117), X},
    {vk::NUMPAD0 + 2, '2', two(SECOND_CODE_DOWN), two(145), X},
    {vk::NUMPAD0 + 3, '3', two(81), two(118), X},
    {vk::NUMPAD0 + 4, '4', two(SECOND_CODE_LEFT), two(115), X},
    {vk::NUMPAD0 + 5, '5', two(76), two(143), X},
    {vk::NUMPAD0 + 6, '6', two(SECOND_CODE_RIGHT), two(116), X},
    {vk::NUMPAD0 + 7, '7', two(71), two(119), X},
    {vk::NUMPAD0 + 8, '8', two(SECOND_CODE_UP), two(141), X},
    {vk::NUMPAD0 + 9, '9', two(73), two(132), X},
    {vk::MULTIPLY, '*', '*', two(150), two(55)},
    {vk::ADD, '+', '+', two(144), two(78)},
    {vk::SUBTRACT, '-', '-', two(142), two(74)},
    {vk::DECIMAL, '.', '.', two(83), two(147)},
    {vk::DIVIDE, '/', '/', two(149), two(164)},
    // F1 to F12
    {vk::F1 + 0, two(59), two(84), two(94), two(104)},
    {vk::F1 + 1, two(60), two(85), two(95), two(105)},
    {vk::F1 + 2, two(61), two(86), two(96), two(106)},
    {vk::F1 + 3, two(62), two(87), two(97), two(107)},
    {vk::F1 + 4, two(63), two(88), two(98), two(108)},
    {vk::F1 + 5, two(64), two(89), two(99), two(109)},
    {vk::F1 + 6, two(65), two(90), two(100), two(110)},
    {vk::F1 + 7, two(66), two(91), two(101), two(111)},
    {vk::F1 + 8, two(67), two(92), two(102), two(112)},
    {vk::F1 + 9, two(68), two(93), two(103), two(113)},
    {vk::F1 + 10, two(133), two(135), two(137), two(139)},
    {vk::F1 + 11, two(134), two(136), two(138), two(140)},
    // Punctuation of a US layout.
    {vk::SEMICOLON, ';', ':', X, two(39)},
    {vk::EQUALS, '=', '+', X, two(131)},
    {vk::COMMA, ',', '<', X, two(51)},
    {vk::MINUS, '-', '_', 31, two(130)},
    {vk::PERIOD, '.', '>', X, two(52)},
    {vk::SLASH, '/', '?', X, two(53)},
    {vk::BACKQUOTE, '`', '~', X, two(41)},
    {vk::LEFT_BRACKET, '[', '{', 27, two(26)},
    {vk::BACKSLASH, '\\', '|', 28, two(43)},
    {vk::RIGHT_BRACKET, ']', '}', 29, two(27)},
    {vk::QUOTE, '\'', '"', X, two(40)},
}};

const KeyTableEntry* find_key_entry(int virtual_key) {
  for (const KeyTableEntry& entry : KeyTable) {
    if (entry.virtual_key == virtual_key) return &entry;
  }
  return nullptr;
}

KeyCodes translate_key_record(const KeyRecord& record) {
  KeyCodes codes;
  // The space bar under an input method types a wide space, which a
  // console's code page gives as some byte past ASCII: it is the space bar.
  if (record.virtual_key == vk::SPACE && record.character >= 0x80) {
    codes.count = 1;
    codes.first = CODE_SPACE;
    return codes;
  }
  if (record.character != 0) {
    // Sign-extended like a C char, so byte 130 reads as -126.
    codes.count = 1;
    codes.first = static_cast<signed char>(record.character);
    return codes;
  }
  const KeyTableEntry* entry = find_key_entry(record.virtual_key);
  if (entry == nullptr) return codes;
  // A letter key without character or modifier takes the plain column, the
  // lower-case letter, rather than a bare 0 that would swallow the next key.
  std::int16_t code = entry->plain;
  if (record.control_state & (STATE_RIGHT_ALT | STATE_LEFT_ALT)) {
    code = entry->alt;
  } else if (record.control_state & (STATE_RIGHT_CTRL | STATE_LEFT_CTRL)) {
    code = entry->ctrl;
  } else if (record.control_state & STATE_SHIFT) {
    code = entry->shift;
  }
  if (code == NO_CODE) return codes;
  if (code & TWO_STEP) {
    codes.count = 2;
    codes.first = 0;
    codes.second = code & 0xFF;
  } else {
    codes.count = 1;
    codes.first = code;
  }
  return codes;
}

bool PendingSecondCode::take(int& code) {
  if (second_ == -1) return false;
  code = second_;
  second_ = -1;
  return true;
}

int translate_key_release(const KeyRecord& record) {
  KeyCodes codes = translate_key_record(record);
  if (codes.count == 1 && codes.first == CODE_SPACE) return CODE_RELEASED + '9';
  if (codes.count != 2) return -1;
  switch (codes.second) {
    case SECOND_CODE_LEFT: return CODE_RELEASED + '1';
    case SECOND_CODE_DOWN: return CODE_RELEASED + '2';
    case SECOND_CODE_UP: return CODE_RELEASED + '3';
    case SECOND_CODE_RIGHT: return CODE_RELEASED + '4';
    default: return -1;
  }
}

bool PendingSecondCode::deliver(const KeyRecord& record, int& code) {
  KeyCodes codes = translate_key_record(record);
  if (codes.count == 0) return false;
  if (codes.count == 2) second_ = codes.second;
  code = codes.first;
  return true;
}

KeyRecord key_for_character(unsigned char c) {
  KeyRecord key;
  key.character = c;
  // Terminals send DEL for Backspace and NUL for Ctrl+Space; LF is Ctrl+J,
  // not Ctrl+Enter, as no terminal tells the two apart.
  if (c == 0x7F) {
    key.virtual_key = vk::BACKSPACE;
    key.character = 8;
    return key;
  }
  if (c == 0) {
    key.virtual_key = vk::SPACE;
    key.control_state = STATE_LEFT_CTRL;
    return key;
  }
  if (c == '\n') {
    key.virtual_key = 'J';
    key.control_state = STATE_LEFT_CTRL;
    return key;
  }
  // The keypad types the same characters as the main block; the main block
  // is what a terminal user pressed in all likelihood.
  auto on_keypad = [](const KeyTableEntry& e) { return e.virtual_key >= vk::NUMPAD0 && e.virtual_key <= vk::DIVIDE; };
  const std::uint32_t states[] = {0, STATE_SHIFT, STATE_LEFT_CTRL};
  for (std::uint32_t state : states) {
    for (const KeyTableEntry& entry : KeyTable) {
      if (on_keypad(entry)) continue;
      std::int16_t code = state == 0 ? entry.plain : state == STATE_SHIFT ? entry.shift : entry.ctrl;
      if (code == c) {
        key.virtual_key = static_cast<std::uint16_t>(entry.virtual_key);
        key.control_state = state;
        return key;
      }
    }
  }
  return key;
}

bool is_ideographic_space(unsigned code_page, unsigned char lead, unsigned char trail) {
  switch (code_page) {
    case 932: return lead == 0x81 && trail == 0x40;
    case 936:
    case 949: return lead == 0xA1 && trail == 0xA1;
    case 950: return lead == 0xA1 && trail == 0x40;
    default: return false;
  }
}

}  // namespace tap
