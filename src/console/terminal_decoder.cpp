#include "console/terminal_decoder.h"

#include "console/virtual_keys.h"

namespace tap {
namespace {

constexpr unsigned char ESC = 0x1B;

enum class Outcome {
  incomplete,
  key,                  // the whole held sequence is one key-down
  key_before_last,      // all but the last byte is one key-down; the last starts anew
  discard,              // the whole held sequence means nothing we know
  discard_before_last,  // all but the last byte means nothing; the last starts anew
};

struct Step {
  Outcome outcome;
  KeyRecord key;
};

Step incomplete() { return {Outcome::incomplete, {}}; }
Step key_step(KeyRecord key) { return {Outcome::key, key}; }
Step discard() { return {Outcome::discard, {}}; }

KeyRecord special_key(std::uint16_t virtual_key, std::uint32_t state) {
  KeyRecord key;
  key.virtual_key = virtual_key;
  key.control_state = state;
  return key;
}

// Alt makes every known key go through the table, as a console reports no
// character for Alt+letter; an unknown byte keeps its character.
KeyRecord with_alt(KeyRecord key) {
  key.control_state |= STATE_LEFT_ALT;
  if (key.virtual_key != 0) key.character = 0;
  return key;
}

// A key that types a character when no modifier is held, like the keypad in
// application mode or `CSI 97 u`: with a modifier it goes through the table.
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
  if (bits & 1) state |= STATE_SHIFT;
  if (bits & (2 | 8)) state |= STATE_LEFT_ALT;
  if (bits & 4) state |= STATE_LEFT_CTRL;
  return state;
}

// clang-format off
// The VT220 numbers of `CSI n ~`. Home and End come as 1/4 (xterm, VT220
// Find/Select) or 7/8 (rxvt). 25 to 34 are F13 to F20, which the Linux
// console and rxvt send for Shift+F3 to Shift+F10.
bool tilde_key(int number, std::uint16_t& virtual_key, std::uint32_t& state) {
  state = 0;
  switch (number) {
    case 1: case 7: virtual_key = vk::HOME; return true;
    case 2: virtual_key = vk::INSERT; return true;
    case 3: virtual_key = vk::DELETE_KEY; return true;
    case 4: case 8: virtual_key = vk::END; return true;
    case 5: virtual_key = vk::PAGE_UP; return true;
    case 6: virtual_key = vk::PAGE_DOWN; return true;
    case 11: case 12: case 13: case 14: case 15:
      virtual_key = static_cast<std::uint16_t>(vk::F1 + number - 11); return true;
    case 17: case 18: case 19: case 20: case 21:
      virtual_key = static_cast<std::uint16_t>(vk::F1 + 5 + number - 17); return true;
    case 23: case 24:
      virtual_key = static_cast<std::uint16_t>(vk::F1 + 10 + number - 23); return true;
    case 25: case 26:
      virtual_key = static_cast<std::uint16_t>(vk::F1 + 2 + number - 25); state = STATE_SHIFT; return true;
    case 28: case 29:
      virtual_key = static_cast<std::uint16_t>(vk::F1 + 4 + number - 28); state = STATE_SHIFT; return true;
    case 31: case 32: case 33: case 34:
      virtual_key = static_cast<std::uint16_t>(vk::F1 + 6 + number - 31); state = STATE_SHIFT; return true;
    default: return false;
  }
}

// Finals shared by CSI and SS3: cursor keys, Home/End, F1 to F4.
bool letter_key(unsigned char final, std::uint16_t& virtual_key) {
  switch (final) {
    case 'A': virtual_key = vk::UP; return true;
    case 'B': virtual_key = vk::DOWN; return true;
    case 'C': virtual_key = vk::RIGHT; return true;
    case 'D': virtual_key = vk::LEFT; return true;
    case 'H': virtual_key = vk::HOME; return true;
    case 'F': virtual_key = vk::END; return true;
    case 'E': virtual_key = vk::CLEAR; return true;
    case 'P': case 'Q': case 'R': case 'S':
      virtual_key = static_cast<std::uint16_t>(vk::F1 + final - 'P'); return true;
    default: return false;
  }
}

// rxvt's lower-case finals: Shift+arrow after CSI, Ctrl+arrow after SS3.
bool rxvt_arrow(unsigned char final, std::uint16_t& virtual_key) {
  switch (final) {
    case 'a': virtual_key = vk::UP; return true;
    case 'b': virtual_key = vk::DOWN; return true;
    case 'c': virtual_key = vk::RIGHT; return true;
    case 'd': virtual_key = vk::LEFT; return true;
    default: return false;
  }
}

// clang-format on

struct Parameters {
  static constexpr int MAX = 4;
  int values[MAX] = {};
  int count = 0;
  bool valid = true;

  int get(int i, int fallback) const { return i < count && values[i] > 0 ? values[i] : fallback; }
};

// Digits and semicolons only; a private marker (`<`, `?`, ...), a colon or
// an intermediate byte belongs to a report we never asked for.
Parameters parse_parameters(const unsigned char* p, std::size_t n) {
  Parameters params;
  if (n == 0) return params;
  params.count = 1;
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char b = p[i];
    if (b >= '0' && b <= '9') {
      int& v = params.values[params.count - 1];
      if (v < 100000) v = v * 10 + (b - '0');
    } else if (b == ';' && params.count < Parameters::MAX) {
      ++params.count;
    } else {
      params.valid = false;
    }
  }
  return params;
}

bool is_control(unsigned char b) { return b < 0x20 || b == 0x7F; }

Step csi_final(const unsigned char* p, std::size_t n, unsigned char final) {
  Parameters params = parse_parameters(p, n);
  if (!params.valid) return discard();
  std::uint16_t virtual_key = 0;
  std::uint32_t state = 0;
  // clang-format off
  switch (final) {
    case '~': case '$': case '^': case '@': {
      int number = params.get(0, 0);
      if (final == '~' && number == 27 && params.count == 3) {
        // xterm's modifyOtherKeys: CSI 27 ; modifier ; character ~
        int c = params.values[2];
        if (c <= 0 || c > 0x7F) return discard();
        return key_step(character_key(static_cast<unsigned char>(c), modifier_state(params.get(1, 1))));
      }
      if (!tilde_key(number, virtual_key, state)) return discard();
      if (final == '~') state |= modifier_state(params.get(1, 1));
      if (final == '$') state |= STATE_SHIFT;
      if (final == '^') state |= STATE_LEFT_CTRL;
      if (final == '@') state |= STATE_LEFT_CTRL | STATE_SHIFT;
      return key_step(special_key(virtual_key, state));
    }
    case 'u': {
      int c = params.get(0, 0);
      if (c <= 0 || c > 0x7F) return discard();
      return key_step(character_key(static_cast<unsigned char>(c), modifier_state(params.get(1, 1))));
    }
    case 'Z':
      return key_step(special_key(vk::TAB, STATE_SHIFT | modifier_state(params.get(1, 1))));
    case 'G':  // the Linux console's keypad 5
      return key_step(special_key(vk::CLEAR, 0));
    default:
      break;
  }
  // clang-format on
  // `CSI 1 ; m A`; a lone parameter is taken as the modifier too, as some
  // older terminals send `CSI m A`.
  int modifier = params.count >= 2 ? params.get(1, 1) : params.get(0, 1);
  if (letter_key(final, virtual_key)) {
    return key_step(special_key(virtual_key, modifier_state(modifier)));
  }
  if (rxvt_arrow(final, virtual_key)) {
    return key_step(special_key(virtual_key, STATE_SHIFT | modifier_state(modifier)));
  }
  return discard();
}

// After ESC [. A CSI ends at a byte from 0x40 to 0x7E, or at rxvt's `$`.
Step parse_csi(const unsigned char* p, std::size_t n, bool forced) {
  if (n == 0) {
    return forced ? key_step(special_key(vk::LEFT_BRACKET, STATE_LEFT_ALT)) : incomplete();
  }
  if (p[0] == '[') {  // the Linux console's F1 to F5: CSI [ A to CSI [ E
    if (n == 1) return forced ? discard() : incomplete();
    unsigned char b = p[1];
    if (is_control(b) || b >= 0x80) return {Outcome::discard_before_last, {}};
    if (b >= 'A' && b <= 'E') return key_step(special_key(static_cast<std::uint16_t>(vk::F1 + b - 'A'), 0));
    return discard();
  }
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char b = p[i];
    // A control byte cannot stand inside a sequence: the sequence was cut
    // short and the byte starts the next key.
    if (is_control(b) || b >= 0x80) return {Outcome::discard_before_last, {}};
    if ((b >= 0x40 && b <= 0x7E) || b == '$') return csi_final(p, i, b);
  }
  return forced ? discard() : incomplete();
}

// After ESC O: cursor keys in application mode, F1 to F4, the keypad in
// application mode, rxvt's Ctrl+arrows; old xterms put a modifier digit
// before the final (ESC O 5 P).
Step parse_ss3(const unsigned char* p, std::size_t n, bool forced) {
  if (n == 0) {
    return forced ? key_step(special_key('O', STATE_LEFT_ALT | STATE_SHIFT)) : incomplete();
  }
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char b = p[i];
    if (is_control(b) || b >= 0x80) return {Outcome::discard_before_last, {}};
    if (b < 0x40) continue;
    Parameters params = parse_parameters(p, i);
    if (!params.valid) return discard();
    std::uint32_t state = modifier_state(params.count >= 2 ? params.get(1, 1) : params.get(0, 1));
    std::uint16_t virtual_key = 0;
    if (letter_key(b, virtual_key)) return key_step(special_key(virtual_key, state));
    if (rxvt_arrow(b, virtual_key)) return key_step(special_key(virtual_key, STATE_LEFT_CTRL | state));
    if (b >= 'p' && b <= 'y') {
      KeyRecord key = special_key(static_cast<std::uint16_t>(vk::NUMPAD0 + b - 'p'), state);
      if (state == 0) key.character = static_cast<unsigned char>('0' + b - 'p');
      return key_step(key);
    }
    // clang-format off
    switch (b) {
      case 'M': return key_step(character_key('\r', state));
      case 'j': return key_step(character_key('*', state));
      case 'k': return key_step(character_key('+', state));
      case 'l': return key_step(character_key(',', state));
      case 'm': return key_step(character_key('-', state));
      case 'n': return key_step(character_key('.', state));
      case 'o': return key_step(character_key('/', state));
      case 'X': return key_step(character_key('=', state));
      default: return discard();
    }
    // clang-format on
  }
  return forced ? discard() : incomplete();
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
      if (!fits_character(s[i], i, lead, encoding)) {
        return {Outcome::key_before_last, alt ? with_alt(key) : key};
      }
    }
    if (n < length && !forced) return incomplete();
  }
  return key_step(alt ? with_alt(key) : key);
}

Step add_alt(Step step) {
  if (step.outcome == Outcome::key || step.outcome == Outcome::key_before_last) step.key = with_alt(step.key);
  return step;
}

// Classifies the held bytes s[0..n) as they stand. Called after every byte,
// so anything "before last" is always about the newest byte alone.
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
  if (alt_prefixed) {
    // ESC ESC x: the pair was Alt+Esc, and x starts the next key.
    return {Outcome::key_before_last, with_alt(key_for_character(ESC))};
  }
  // ESC before anything else is the Alt prefix, also before a whole sequence
  // (rxvt sends Alt+Left as ESC ESC [ D).
  return classify(s + 1, n - 1, forced, true, encoding);
}

}  // namespace

std::size_t TerminalDecoder::feed(const unsigned char* bytes, std::size_t length, KeyRecord& key, bool& complete) {
  complete = false;
  std::size_t taken = 0;
  while (taken < length) {
    unsigned char b = bytes[taken];
    if (discarding_) {
      // An over-long sequence runs to its final byte; a control byte means
      // it was cut short and belongs to the next key.
      if (!is_control(b) && b < 0x80) {
        ++taken;
        if (b >= 0x40) discarding_ = false;
        continue;
      }
      discarding_ = false;
    }
    held_[held_length_++] = b;
    ++taken;
    Step step = classify(held_, held_length_, false, false, encoding_);
    switch (step.outcome) {
      case Outcome::incomplete:
        if (held_length_ == MAX_SEQUENCE) {
          held_length_ = 0;
          discarding_ = true;
        }
        break;
      case Outcome::key:
        held_length_ = 0;
        key = step.key;
        complete = true;
        return taken;
      case Outcome::key_before_last:
        held_length_ = 0;
        key = step.key;
        complete = true;
        return taken - 1;
      case Outcome::discard: held_length_ = 0; break;
      case Outcome::discard_before_last:
        held_length_ = 0;
        --taken;
        break;
    }
  }
  return taken;
}

bool TerminalDecoder::flush(KeyRecord& key) {
  discarding_ = false;
  if (held_length_ == 0) return false;
  Step step = classify(held_, held_length_, true, false, encoding_);
  held_length_ = 0;
  if (step.outcome != Outcome::key) return false;
  key = step.key;
  return true;
}

}  // namespace tap
