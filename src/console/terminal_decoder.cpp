#include "console/terminal_decoder.h"

#include <cstring>

#include "console/virtual_keys.h"

namespace tap {
namespace {

constexpr unsigned char ESC = 0x1B;
constexpr unsigned char BEL = 0x07;
constexpr unsigned char CAN = 0x18;
constexpr unsigned char SUB = 0x1A;

// What a terminal in bracketed-paste mode puts around a paste.
constexpr unsigned char PASTE_START[] = {ESC, '[', '2', '0', '0', '~'};
constexpr unsigned char PASTE_END[] = {ESC, '[', '2', '0', '1', '~'};

constexpr std::uint32_t SHIFT = STATE_SHIFT;
constexpr std::uint32_t CTRL = STATE_LEFT_CTRL;
constexpr std::uint32_t ALT = STATE_LEFT_ALT;

// The introducers of the sequence table: CSI (ESC [), SS3 (ESC O) and the
// Linux console's function keys (ESC [ [).
constexpr char CSI = '[';
constexpr char SS3 = 'O';
constexpr char LINUX = 'L';

// A row's first parameter: none, 1, or a lone modifier (`CSI 1 ; m A`,
// `CSI A`, older terminals' `CSI m A` and `ESC O m A`).
constexpr int NO_NUMBER = -1;

/// One sequence a terminal sends for a key: introducer, first parameter and
/// final byte, and the key with the modifiers the sequence itself implies.
/// The xterm modifier parameter adds to them. `character` is what the key
/// types when no modifier is held (the keypad in application mode), or 0.
struct SequenceRow {
  char introducer;
  int number;
  unsigned char final;
  std::uint16_t virtual_key;
  std::uint32_t state;
  unsigned char character;
};

// clang-format off
constexpr SequenceRow SEQUENCES[] = {
    // Cursor keys, Home, End, the keypad's centre and F1 to F4: xterm, VTE,
    // tmux and screen, in normal and application mode.
    {CSI, NO_NUMBER, 'A', vk::UP, 0, 0},        {SS3, NO_NUMBER, 'A', vk::UP, 0, 0},
    {CSI, NO_NUMBER, 'B', vk::DOWN, 0, 0},      {SS3, NO_NUMBER, 'B', vk::DOWN, 0, 0},
    {CSI, NO_NUMBER, 'C', vk::RIGHT, 0, 0},     {SS3, NO_NUMBER, 'C', vk::RIGHT, 0, 0},
    {CSI, NO_NUMBER, 'D', vk::LEFT, 0, 0},      {SS3, NO_NUMBER, 'D', vk::LEFT, 0, 0},
    {CSI, NO_NUMBER, 'H', vk::HOME, 0, 0},      {SS3, NO_NUMBER, 'H', vk::HOME, 0, 0},
    {CSI, NO_NUMBER, 'F', vk::END, 0, 0},       {SS3, NO_NUMBER, 'F', vk::END, 0, 0},
    {CSI, NO_NUMBER, 'E', vk::CLEAR, 0, 0},     {SS3, NO_NUMBER, 'E', vk::CLEAR, 0, 0},
    {CSI, NO_NUMBER, 'P', vk::F1, 0, 0},        {SS3, NO_NUMBER, 'P', vk::F1, 0, 0},
    {CSI, NO_NUMBER, 'Q', vk::F1 + 1, 0, 0},    {SS3, NO_NUMBER, 'Q', vk::F1 + 1, 0, 0},
    {CSI, NO_NUMBER, 'R', vk::F1 + 2, 0, 0},    {SS3, NO_NUMBER, 'R', vk::F1 + 2, 0, 0},
    {CSI, NO_NUMBER, 'S', vk::F1 + 3, 0, 0},    {SS3, NO_NUMBER, 'S', vk::F1 + 3, 0, 0},
    {CSI, NO_NUMBER, 'Z', vk::TAB, SHIFT, 0},   // back tab
    {CSI, NO_NUMBER, 'G', vk::CLEAR, 0, 0},     // the Linux console's keypad 5
    // rxvt: lower-case finals are Shift+arrow after CSI, Ctrl+arrow after SS3.
    {CSI, NO_NUMBER, 'a', vk::UP, SHIFT, 0},    {SS3, NO_NUMBER, 'a', vk::UP, CTRL, 0},
    {CSI, NO_NUMBER, 'b', vk::DOWN, SHIFT, 0},  {SS3, NO_NUMBER, 'b', vk::DOWN, CTRL, 0},
    {CSI, NO_NUMBER, 'c', vk::RIGHT, SHIFT, 0}, {SS3, NO_NUMBER, 'c', vk::RIGHT, CTRL, 0},
    {CSI, NO_NUMBER, 'd', vk::LEFT, SHIFT, 0},  {SS3, NO_NUMBER, 'd', vk::LEFT, CTRL, 0},
    // The VT220 `~` numbers. Home and End come as 1/4 (xterm, VT220 Find and
    // Select) or 7/8 (rxvt); 25 to 34 are F13 to F20, which the Linux console
    // and rxvt send for Shift+F3 to Shift+F10.
    {CSI, 1, '~', vk::HOME, 0, 0},         {CSI, 7, '~', vk::HOME, 0, 0},
    {CSI, 4, '~', vk::END, 0, 0},          {CSI, 8, '~', vk::END, 0, 0},
    {CSI, 2, '~', vk::INSERT, 0, 0},       {CSI, 3, '~', vk::DELETE_KEY, 0, 0},
    {CSI, 5, '~', vk::PAGE_UP, 0, 0},      {CSI, 6, '~', vk::PAGE_DOWN, 0, 0},
    {CSI, 11, '~', vk::F1, 0, 0},          {CSI, 12, '~', vk::F1 + 1, 0, 0},
    {CSI, 13, '~', vk::F1 + 2, 0, 0},      {CSI, 14, '~', vk::F1 + 3, 0, 0},
    {CSI, 15, '~', vk::F1 + 4, 0, 0},      {CSI, 17, '~', vk::F1 + 5, 0, 0},
    {CSI, 18, '~', vk::F1 + 6, 0, 0},      {CSI, 19, '~', vk::F1 + 7, 0, 0},
    {CSI, 20, '~', vk::F1 + 8, 0, 0},      {CSI, 21, '~', vk::F1 + 9, 0, 0},
    {CSI, 23, '~', vk::F1 + 10, 0, 0},     {CSI, 24, '~', vk::F1 + 11, 0, 0},
    {CSI, 25, '~', vk::F1 + 2, SHIFT, 0},  {CSI, 26, '~', vk::F1 + 3, SHIFT, 0},
    {CSI, 28, '~', vk::F1 + 4, SHIFT, 0},  {CSI, 29, '~', vk::F1 + 5, SHIFT, 0},
    {CSI, 31, '~', vk::F1 + 6, SHIFT, 0},  {CSI, 32, '~', vk::F1 + 7, SHIFT, 0},
    {CSI, 33, '~', vk::F1 + 8, SHIFT, 0},  {CSI, 34, '~', vk::F1 + 9, SHIFT, 0},
    // st's editing keys outside application keypad mode. Its Ctrl+Delete,
    // CSI M, also begins an X10 mouse report: alone it is the key.
    {CSI, 4, 'h', vk::INSERT, 0, 0},           {CSI, NO_NUMBER, 'L', vk::INSERT, CTRL, 0},
    {CSI, NO_NUMBER, 'M', vk::DELETE_KEY, CTRL, 0}, {CSI, 2, 'K', vk::DELETE_KEY, SHIFT, 0},
    {CSI, 2, 'J', vk::HOME, SHIFT, 0},         {CSI, NO_NUMBER, 'K', vk::END, SHIFT, 0},
    {CSI, NO_NUMBER, 'J', vk::END, CTRL, 0},
    // The keypad in application mode.
    {SS3, NO_NUMBER, 'p', vk::NUMPAD0, 0, '0'},     {SS3, NO_NUMBER, 'q', vk::NUMPAD0 + 1, 0, '1'},
    {SS3, NO_NUMBER, 'r', vk::NUMPAD0 + 2, 0, '2'}, {SS3, NO_NUMBER, 's', vk::NUMPAD0 + 3, 0, '3'},
    {SS3, NO_NUMBER, 't', vk::NUMPAD0 + 4, 0, '4'}, {SS3, NO_NUMBER, 'u', vk::NUMPAD0 + 5, 0, '5'},
    {SS3, NO_NUMBER, 'v', vk::NUMPAD0 + 6, 0, '6'}, {SS3, NO_NUMBER, 'w', vk::NUMPAD0 + 7, 0, '7'},
    {SS3, NO_NUMBER, 'x', vk::NUMPAD0 + 8, 0, '8'}, {SS3, NO_NUMBER, 'y', vk::NUMPAD0 + 9, 0, '9'},
    {SS3, NO_NUMBER, 'M', vk::ENTER, 0, '\r'},      {SS3, NO_NUMBER, 'j', vk::MULTIPLY, 0, '*'},
    {SS3, NO_NUMBER, 'k', vk::ADD, 0, '+'},         {SS3, NO_NUMBER, 'l', vk::COMMA, 0, ','},
    {SS3, NO_NUMBER, 'm', vk::SUBTRACT, 0, '-'},    {SS3, NO_NUMBER, 'n', vk::DECIMAL, 0, '.'},
    {SS3, NO_NUMBER, 'o', vk::DIVIDE, 0, '/'},      {SS3, NO_NUMBER, 'X', vk::EQUALS, 0, '='},
    // The Linux console's F1 to F5.
    {LINUX, NO_NUMBER, 'A', vk::F1, 0, 0},     {LINUX, NO_NUMBER, 'B', vk::F1 + 1, 0, 0},
    {LINUX, NO_NUMBER, 'C', vk::F1 + 2, 0, 0}, {LINUX, NO_NUMBER, 'D', vk::F1 + 3, 0, 0},
    {LINUX, NO_NUMBER, 'E', vk::F1 + 4, 0, 0},
};

/// The kitty keyboard protocol's code points for the keypad (`CSI n u`),
/// from 57399 on: the keys of the table the Windows console reports for them.
constexpr SequenceRow KITTY_KEYPAD[] = {
    {CSI, 57399, 'u', vk::NUMPAD0, 0, '0'},     {CSI, 57400, 'u', vk::NUMPAD0 + 1, 0, '1'},
    {CSI, 57401, 'u', vk::NUMPAD0 + 2, 0, '2'}, {CSI, 57402, 'u', vk::NUMPAD0 + 3, 0, '3'},
    {CSI, 57403, 'u', vk::NUMPAD0 + 4, 0, '4'}, {CSI, 57404, 'u', vk::NUMPAD0 + 5, 0, '5'},
    {CSI, 57405, 'u', vk::NUMPAD0 + 6, 0, '6'}, {CSI, 57406, 'u', vk::NUMPAD0 + 7, 0, '7'},
    {CSI, 57407, 'u', vk::NUMPAD0 + 8, 0, '8'}, {CSI, 57408, 'u', vk::NUMPAD0 + 9, 0, '9'},
    {CSI, 57409, 'u', vk::DECIMAL, 0, '.'},     {CSI, 57410, 'u', vk::DIVIDE, 0, '/'},
    {CSI, 57411, 'u', vk::MULTIPLY, 0, '*'},    {CSI, 57412, 'u', vk::SUBTRACT, 0, '-'},
    {CSI, 57413, 'u', vk::ADD, 0, '+'},         {CSI, 57414, 'u', vk::ENTER, 0, '\r'},
    {CSI, 57415, 'u', vk::EQUALS, 0, '='},      {CSI, 57416, 'u', vk::COMMA, 0, ','},
    {CSI, 57417, 'u', vk::LEFT, 0, 0},          {CSI, 57418, 'u', vk::RIGHT, 0, 0},
    {CSI, 57419, 'u', vk::UP, 0, 0},            {CSI, 57420, 'u', vk::DOWN, 0, 0},
    {CSI, 57421, 'u', vk::PAGE_UP, 0, 0},       {CSI, 57422, 'u', vk::PAGE_DOWN, 0, 0},
    {CSI, 57423, 'u', vk::HOME, 0, 0},          {CSI, 57424, 'u', vk::END, 0, 0},
    {CSI, 57425, 'u', vk::INSERT, 0, 0},        {CSI, 57426, 'u', vk::DELETE_KEY, 0, 0},
    {CSI, 57427, 'u', vk::CLEAR, 0, 0},
};
// clang-format on

enum class Outcome {
  incomplete,
  key,      // the whole held sequence is one key-down
  cut,      // the first `length` bytes make `key` (if has_key); the rest is decoded anew
  discard,  // the whole held sequence is complete and means no key
  string,   // the held bytes open a DCS, OSC, APC, PM or SOS string
  mouse,    // the held bytes open an X10 mouse report; the last is its first character
};

struct Step {
  Outcome outcome = Outcome::discard;
  KeyRecord key;
  bool has_key = false;
  std::size_t length = 0;
};

Step incomplete() { return {Outcome::incomplete, {}, false, 0}; }
Step discard() { return {Outcome::discard, {}, false, 0}; }
Step key_step(KeyRecord key) { return {Outcome::key, key, true, 0}; }
Step cut(std::size_t length, KeyRecord key) { return {Outcome::cut, key, true, length}; }

KeyRecord special_key(std::uint16_t virtual_key, std::uint32_t state) {
  KeyRecord key;
  key.virtual_key = virtual_key;
  key.control_state = state;
  return key;
}

// Alt makes every known key go through the table, as a console reports no
// character for Alt+letter; an unknown byte keeps its character.
KeyRecord with_alt(KeyRecord key) {
  key.control_state |= ALT;
  if (key.virtual_key != 0) key.character = 0;
  return key;
}

// A key that types a character when no modifier is held: with a modifier it
// goes through the table.
KeyRecord row_key(const SequenceRow& row, std::uint32_t state) {
  KeyRecord key = special_key(row.virtual_key, row.state | state);
  if (key.control_state == 0) key.character = row.character;
  return key;
}

// The main block's key for an ASCII character, with modifiers: `CSI 97 u`,
// modifyOtherKeys.
KeyRecord character_key(unsigned char c, std::uint32_t state) {
  KeyRecord key = key_for_character(c);
  if (state != 0 && key.virtual_key != 0) {
    key.character = 0;
    key.control_state |= state;
  }
  return key;
}

// xterm's modifier parameter: 1 + bits Shift 1, Alt 2, Ctrl 4, Meta 8.
std::uint32_t modifier_state(int parameter) {
  if (parameter < 2) return 0;
  int bits = parameter - 1;
  std::uint32_t state = 0;
  if (bits & 1) state |= SHIFT;
  if (bits & (2 | 8)) state |= ALT;
  if (bits & 4) state |= CTRL;
  return state;
}

bool is_control(unsigned char b) { return b < 0x20 || b == 0x7F; }
bool is_final(unsigned char b) { return b >= 0x40 && b <= 0x7E; }

/// The parameters of a CSI or SS3 sequence: up to four numbers separated by
/// `;`, each with sub-parameters after `:` (the kitty keyboard protocol:
/// alternate keys on the first, the event type on the second).
struct Parameters {
  static constexpr int MAX = 4;
  int values[MAX] = {};
  int count = 0;
  int event = 1;                // 1 press, 2 repeat, 3 release
  bool private_marker = false;  // `<`, `=`, `>` or `?` first: a report, not a key
  bool intermediates = false;

  int get(int i, int fallback) const { return i < count && values[i] > 0 ? values[i] : fallback; }
};

Parameters parse_parameters(const unsigned char* p, std::size_t n) {
  Parameters params;
  if (n == 0) return params;
  params.count = 1;
  int sub = 0;  // which sub-parameter of the current parameter
  int event = 0;
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char b = p[i];
    if (b >= '0' && b <= '9') {
      int& v = sub == 0 ? params.values[params.count - 1] : event;
      bool counted = sub == 0 || (sub == 1 && params.count == 2);
      if (counted && v < 1000000) v = v * 10 + (b - '0');
    } else if (b == ';') {
      if (params.count < Parameters::MAX) ++params.count;
      sub = 0;
    } else if (b == ':') {
      ++sub;
    } else if (b >= '<' && b <= '?') {
      params.private_marker = true;
    } else {
      params.intermediates = true;
    }
  }
  if (event > 0) params.event = event;
  return params;
}

const SequenceRow* find_row(const SequenceRow* rows, std::size_t count, char introducer, int number,
                            unsigned char final) {
  for (std::size_t i = 0; i < count; ++i) {
    const SequenceRow& row = rows[i];
    if (row.introducer == introducer && row.number == number && row.final == final) return &row;
  }
  return nullptr;
}

// The key of a complete CSI or SS3 sequence from the table: a row for its
// first parameter wins; otherwise `CSI 1 ; m X`, `CSI X` and a lone `CSI m X`.
Step table_key(char introducer, const Parameters& params, unsigned char final) {
  constexpr std::size_t ROWS = sizeof SEQUENCES / sizeof SEQUENCES[0];
  if (params.count >= 1) {
    const SequenceRow* row = find_row(SEQUENCES, ROWS, introducer, params.get(0, 1), final);
    if (row != nullptr && row->number != NO_NUMBER) {
      return key_step(row_key(*row, modifier_state(params.get(1, 1))));
    }
  }
  const SequenceRow* row = find_row(SEQUENCES, ROWS, introducer, NO_NUMBER, final);
  if (row == nullptr) return discard();
  int modifier = 1;
  if (params.count >= 2) {
    if (params.get(0, 1) != 1) return discard();
    modifier = params.get(1, 1);
  } else if (params.count == 1) {
    modifier = params.get(0, 1);
  }
  return key_step(row_key(*row, modifier_state(modifier)));
}

// `CSI code ; modifier u`: an ASCII character's key (fixterms, kitty), or one
// of kitty's keypad code points. Other code points (kitty's lone modifier
// keys, Caps Lock, media keys) are no key of the table.
Step csi_u_key(const Parameters& params) {
  int code = params.get(0, 0);
  std::uint32_t state = modifier_state(params.get(1, 1));
  if (code > 0 && code <= 0x7F) return key_step(character_key(static_cast<unsigned char>(code), state));
  const SequenceRow* row = find_row(KITTY_KEYPAD, sizeof KITTY_KEYPAD / sizeof KITTY_KEYPAD[0], CSI, code, 'u');
  return row != nullptr ? key_step(row_key(*row, state)) : discard();
}

Step csi_key(const Parameters& params, unsigned char final) {
  if (params.private_marker || params.intermediates) return discard();  // a report we never asked for
  // urxvt's mouse report, CSI Cb ; Cx ; Cy M, whatever its button number.
  if (final == 'M' && params.count == 3) return discard();
  // A cursor position report from the top left corner: no terminal sends a
  // modifier parameter of 1 (none) for F3.
  if (final == 'R' && params.count == 2 && params.values[0] == 1 && params.values[1] == 1) return discard();
  if (final == 'u') return csi_u_key(params);
  if (final == '~' && params.get(0, 0) == 27 && params.count == 3) {
    // xterm's modifyOtherKeys: CSI 27 ; modifier ; character ~
    int c = params.values[2];
    if (c <= 0 || c > 0x7F) return discard();
    return key_step(character_key(static_cast<unsigned char>(c), modifier_state(params.get(1, 1))));
  }
  if (final == '$' || final == '^' || final == '@') {
    // rxvt's suffixes on the `~` numbers: Shift, Ctrl, Ctrl+Shift.
    Step step = table_key(CSI, params, '~');
    if (step.outcome != Outcome::key) return step;
    step.key.character = 0;
    step.key.control_state |= final == '$' ? SHIFT : final == '^' ? CTRL : CTRL | SHIFT;
    return step;
  }
  return table_key(CSI, params, final);
}

// The kitty keyboard protocol's release event is the key, let go.
Step csi_final(const unsigned char* p, std::size_t n, unsigned char final) {
  Parameters params = parse_parameters(p, n);
  Step step = csi_key(params, final);
  if (params.event == 3 && step.outcome == Outcome::key) step.key.released = true;
  return step;
}

// st's Ctrl+Delete, CSI M, from its row of the table: also what a mouse
// report that did not come whole was.
KeyRecord st_ctrl_delete() { return table_key(CSI, Parameters{}, 'M').key; }

// After ESC [ (at `p`, `n` bytes): a CSI ends at a byte from 0x40 to 0x7E,
// or at rxvt's `$` after a lone number. Cut short, ESC [ is Alt+[.
Step parse_csi(const unsigned char* p, std::size_t n, bool forced) {
  KeyRecord alt_bracket = special_key(vk::LEFT_BRACKET, ALT);
  if (n == 0) return forced ? key_step(alt_bracket) : incomplete();
  if (p[0] == '[') {  // the Linux console's F1 to F5: CSI [ A to CSI [ E
    if (n == 1) return forced ? cut(2, alt_bracket) : incomplete();
    if (is_control(p[1]) || p[1] >= 0x80) return cut(2, alt_bracket);
    Parameters none;
    return table_key(LINUX, none, p[1]);
  }
  if (p[0] == 'M') {
    // X10 mouse: CSI M and three characters in one write; CSI M alone is st's Ctrl+Delete.
    if (n == 1) return forced ? key_step(st_ctrl_delete()) : incomplete();
    if (is_control(p[1])) return cut(3, st_ctrl_delete());
    return {Outcome::mouse, {}, false, 3};
  }
  bool lone_number = true;  // rxvt's `$` may end the sequence
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char b = p[i];
    // A control byte cannot stand inside a sequence: the sequence was cut
    // short, and its bytes were keys typed after Alt+[.
    if (is_control(b) || b >= 0x80) return cut(2, alt_bracket);
    if (b == '$' && lone_number && i > 0) return csi_final(p, i, b);
    if (is_final(b)) return csi_final(p, i, b);
    if (!(b >= '0' && b <= '9')) lone_number = false;
  }
  return forced ? cut(2, alt_bracket) : incomplete();
}

// After ESC O: cursor keys in application mode, F1 to F4, the keypad in
// application mode, rxvt's Ctrl+arrows; old xterms put a modifier digit
// before the final (ESC O 5 P). Cut short, ESC O is Alt+Shift+O.
Step parse_ss3(const unsigned char* p, std::size_t n, bool forced) {
  KeyRecord alt_o = special_key('O', ALT | SHIFT);
  if (n == 0) return forced ? key_step(alt_o) : incomplete();
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char b = p[i];
    if (b >= '0' && b <= '9') continue;
    if (!is_final(b)) return cut(2, alt_o);
    return table_key(SS3, parse_parameters(p, i), b);
  }
  return forced ? cut(2, alt_o) : incomplete();
}

bool is_continuation(unsigned char b) { return b >= 0x80 && b <= 0xBF; }

// How many bytes the character led by `b` has; 1 for a byte that stands alone.
std::size_t character_length(unsigned char b, TextEncoding encoding) {
  if (b < 0x80) return 1;
  if (encoding == TextEncoding::shift_jis) {
    return ((b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC)) ? 2 : 1;
  }
  if (b >= 0xC2 && b <= 0xDF) return 2;
  if (b >= 0xE0 && b <= 0xEF) return 3;
  if (b >= 0xF0 && b <= 0xF4) return 4;
  return 1;
}

bool fits_character(unsigned char b, std::size_t index, unsigned char lead, TextEncoding encoding) {
  if (encoding == TextEncoding::shift_jis) return b >= 0x40 && b <= 0xFC && b != 0x7F;
  if (!is_continuation(b)) return false;
  // Second bytes that would make an overlong form, a surrogate or a code
  // point past U+10FFFF.
  if (index == 1) {
    if (lead == 0xE0 && b < 0xA0) return false;
    if (lead == 0xED && b > 0x9F) return false;
    if (lead == 0xF0 && b < 0x90) return false;
    if (lead == 0xF4 && b > 0x8F) return false;
  }
  return true;
}

// A character: one byte, or one UTF-8 / Shift-JIS character of several that
// makes one key-down carrying its lead byte. A broken character is one
// key-down for the bytes that fit, and the byte that broke it starts anew.
Step parse_character(const unsigned char* s, std::size_t n, bool forced, bool alt, TextEncoding encoding) {
  unsigned char lead = s[0];
  KeyRecord key;
  if (lead < 0x80) {
    key = key_for_character(lead);
  } else {
    key.character = lead;
    std::size_t length = character_length(lead, encoding);
    for (std::size_t i = 1; i < n && i < length; ++i) {
      if (!fits_character(s[i], i, lead, encoding)) return cut(n - 1, alt ? with_alt(key) : key);
    }
    if (n < length && !forced) return incomplete();
    // U+00A0 is how xterm and mlterm send Alt+Space with their eight-bit Alt.
    if (encoding == TextEncoding::utf8 && n == 2 && lead == 0xC2 && s[1] == 0xA0) {
      key = special_key(vk::SPACE, ALT);
    }
    // U+3000 IDEOGRAPHIC SPACE is what the space bar types while a Japanese
    // input method is on: the space bar still.
    bool ideographic_space = encoding == TextEncoding::utf8 ? n == 3 && lead == 0xE3 && s[1] == 0x80 && s[2] == 0x80
                                                            : n == 2 && lead == 0x81 && s[1] == 0x40;
    if (ideographic_space) key = key_for_character(' ');
  }
  return key_step(alt ? with_alt(key) : key);
}

Step add_alt(Step step) {
  if (step.has_key) step.key = with_alt(step.key);
  return step;
}

Step shifted(Step step, std::size_t by) {
  if (step.outcome == Outcome::cut || step.outcome == Outcome::mouse) step.length += by;
  return step;
}

const KeyRecord* found_key(const Step& step) {
  bool complete = step.outcome == Outcome::key || step.outcome == Outcome::cut;
  return complete && step.has_key ? &step.key : nullptr;
}

bool opens_string(unsigned char b) { return b == 'P' || b == ']' || b == '_' || b == '^' || b == 'X'; }

// Classifies the held bytes s[0..n) as they stand. Called after every byte,
// so a cut is always about the newest byte or the ones before it.
Step classify(const unsigned char* s, std::size_t n, bool forced, bool alt_prefixed, TextEncoding encoding) {
  if (s[0] != ESC) return parse_character(s, n, forced, alt_prefixed, encoding);
  if (n == 1) {
    KeyRecord esc = key_for_character(ESC);
    return forced ? key_step(alt_prefixed ? with_alt(esc) : esc) : incomplete();
  }
  if (s[1] == '[') {
    Step step = parse_csi(s + 2, n - 2, forced);
    return alt_prefixed ? add_alt(step) : step;
  }
  if (s[1] == 'O') {
    Step step = parse_ss3(s + 2, n - 2, forced);
    return alt_prefixed ? add_alt(step) : step;
  }
  // ESC ESC x: the pair was Alt+Esc, and x starts the next key.
  if (alt_prefixed) return cut(1, with_alt(key_for_character(ESC)));
  if (opens_string(s[1])) return {Outcome::string, {}, false, 2};
  // ESC before anything else is the Alt prefix, also before a whole sequence
  // (rxvt sends Alt+Left as ESC ESC [ D).
  return shifted(classify(s + 1, n - 1, forced, true, encoding), 1);
}

}  // namespace

ProtocolAnswer kitty_protocol_answer(const unsigned char* bytes, std::size_t length) {
  bool speaks = false;
  for (std::size_t i = 0; i + 2 < length; ++i) {
    if (bytes[i] != 0x1b || bytes[i + 1] != '[' || bytes[i + 2] != '?') continue;
    std::size_t j = i + 3;
    while (j < length && ((bytes[j] >= '0' && bytes[j] <= '9') || bytes[j] == ';')) ++j;
    if (j == length) break;
    if (bytes[j] == 'u') speaks = true;
    if (bytes[j] == 'c') return speaks ? ProtocolAnswer::speaks : ProtocolAnswer::does_not;
  }
  return ProtocolAnswer::waiting;
}

unsigned char* TerminalDecoder::space() {
  if (start_ > 0) {
    std::memmove(buffer_, buffer_ + start_, end_ - start_);
    scan_ -= start_;
    end_ -= start_;
    start_ = 0;
  }
  return buffer_ + end_;
}

void TerminalDecoder::pushed(std::size_t length) { end_ += length < BUFFER_SIZE - end_ ? length : BUFFER_SIZE - end_; }

std::size_t TerminalDecoder::push(const unsigned char* bytes, std::size_t length) {
  unsigned char* into = space();
  std::size_t taken = length < space_size() ? length : space_size();
  if (taken > 0) std::memcpy(into, bytes, taken);
  pushed(taken);
  return taken;
}

// Inside a string: BEL ends an OSC, ESC \ ends any; CAN and SUB cancel it.
// An ESC followed by anything else ends it too, and starts a sequence. The
// string stays held, for a cut, until it outgrows MAX_STRING.
void TerminalDecoder::string_byte(unsigned char b) {
  if (string_escape_) {
    string_escape_ = false;
    mode_ = Mode::sequence;
    consume_to(b == '\\' ? scan_ : scan_ - 2);
    return;
  }
  if (b == ESC) {
    string_escape_ = true;
  } else if ((b == BEL && string_is_osc_) || b == CAN || b == SUB) {
    mode_ = Mode::sequence;
    consume_to(scan_);
  } else if (string_overflowed_ || scan_ - start_ > MAX_STRING) {
    string_overflowed_ = true;
    consume_to(scan_);
  }
}

// X10 reports count characters: in the UTF-8 form (1005) a coordinate past
// 95 takes two bytes. A coordinate byte below 32 is a position past the end
// of what the form can say, not a key: the report came whole.
void TerminalDecoder::mouse_byte(unsigned char b) {
  if (mouse_continuations_ > 0 && is_continuation(b)) {
    --mouse_continuations_;
  } else {
    --mouse_characters_left_;
    mouse_continuations_ = encoding_ == TextEncoding::utf8 && b >= 0xC2 && b <= 0xDF ? 1 : 0;
  }
  if (mouse_characters_left_ == 0 && mouse_continuations_ == 0) {
    mode_ = Mode::sequence;
    consume_to(scan_);
  }
}

// A complete classification: the first `consumed` bytes held make the key
// found, if any; the bytes after them are decoded anew.
bool TerminalDecoder::finish(std::size_t consumed, const KeyRecord* found, KeyRecord& key) {
  consume_to(start_ + consumed);
  if (found == nullptr) return false;
  key = *found;
  return true;
}

// A mouse report that did not come whole was st's Ctrl+Delete, and the
// bytes after its CSI M were keys.
bool TerminalDecoder::mouse_was_a_key(KeyRecord& key) {
  mode_ = Mode::sequence;
  KeyRecord found = st_ctrl_delete();
  if (mouse_prefix_ == 4) found = with_alt(found);
  return finish(mouse_prefix_, &found, key);
}

bool TerminalDecoder::take(KeyRecord& key) {
  unsigned char b = buffer_[scan_++];
  switch (mode_) {
    case Mode::overlong:
      // An over-long sequence runs to its final byte; a control byte means
      // it was cut short and belongs to the next key.
      if (is_control(b) || b >= 0x80) {
        mode_ = Mode::sequence;
        --scan_;
      } else if (is_final(b)) {
        mode_ = Mode::sequence;
      }
      consume_to(scan_);
      return false;
    case Mode::string: string_byte(b); return false;
    case Mode::paste:
      if (b == PASTE_END[paste_matched_]) {
        if (++paste_matched_ == sizeof PASTE_END) mode_ = Mode::sequence;
      } else {
        paste_matched_ = b == PASTE_END[0] ? 1 : 0;
      }
      consume_to(scan_);
      return false;
    case Mode::mouse: mouse_byte(b); return false;
    case Mode::sequence: break;
  }
  const unsigned char* held = buffer_ + start_;
  std::size_t length = scan_ - start_;
  Step step = classify(held, length, false, false, encoding_);
  switch (step.outcome) {
    case Outcome::incomplete:
      if (length == MAX_SEQUENCE) {
        consume_to(scan_);
        mode_ = Mode::overlong;
      }
      return false;
    case Outcome::discard:
      if (length == sizeof PASTE_START && std::memcmp(held, PASTE_START, sizeof PASTE_START) == 0) {
        mode_ = Mode::paste;
        paste_matched_ = 0;
      }
      return finish(length, nullptr, key);
    case Outcome::key: return finish(length, found_key(step), key);
    case Outcome::cut: return finish(step.length, found_key(step), key);
    case Outcome::string:
      mode_ = Mode::string;
      string_is_osc_ = b == ']';
      string_escape_ = false;
      string_overflowed_ = false;
      return false;
    case Outcome::mouse:
      mode_ = Mode::mouse;
      mouse_prefix_ = step.length;
      mouse_characters_left_ = 3;
      mouse_continuations_ = 0;
      --scan_;  // the first character is counted as the report's
      return false;
  }
  return false;
}

bool TerminalDecoder::next(KeyRecord& key) {
  while (scan_ < end_) {
    if (take(key)) return true;
  }
  return false;
}

bool TerminalDecoder::flush(KeyRecord& key) {
  Mode mode = mode_;
  mode_ = Mode::sequence;
  string_escape_ = false;
  scan_ = end_;
  switch (mode) {
    case Mode::overlong:
    case Mode::paste:  // a paste comes in one burst: one that stops has ended
      consume_to(end_);
      return false;
    case Mode::string: {
      // Replies come in one write: a string the wait cut was keys, Alt and
      // the introducer's character first; one that outgrew MAX_STRING was not.
      if (string_overflowed_) {
        consume_to(end_);
        return false;
      }
      KeyRecord found = with_alt(key_for_character(buffer_[start_ + 1]));
      return finish(2, &found, key);
    }
    case Mode::mouse: return mouse_was_a_key(key);
    case Mode::sequence: break;
  }
  if (start_ == end_) return false;
  Step step = classify(buffer_ + start_, end_ - start_, true, false, encoding_);
  return finish(step.outcome == Outcome::cut ? step.length : end_ - start_, found_key(step), key);
}

}  // namespace tap
