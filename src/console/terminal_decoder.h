#pragma once

#include <cstddef>

#include "console/key_table.h"
#include "console/text_encoding.h"

namespace tap {

/// Turns the bytes a terminal sends into key-down records, one at a time.
/// It does no I/O and keeps no clock: the caller reads, feeds the bytes, and
/// calls flush() when nothing has followed a partial sequence for a short
/// wait, which is how a lone ESC becomes the Esc key.
///
/// Keys: the CSI and SS3 sequences of one table (xterm, VTE, rxvt, st, the
/// Linux console, VT220, tmux and screen) with the xterm modifier parameter
/// (1 + bits Shift 1, Alt 2, Ctrl 4), rxvt's `$ ^ @` suffixes, `CSI u` with
/// the kitty keyboard protocol's sub-parameters and keypad code points,
/// modifyOtherKeys, ESC as the Alt prefix, control bytes, and UTF-8 or
/// Shift-JIS characters (U+00A0 is xterm's eight-bit Alt+Space).
///
/// What is not a key is consumed whole and yields nothing: other CSI
/// sequences (reports, focus, SGR and urxvt mouse), X10 and UTF-8 mouse
/// reports (`CSI M` and three characters), the strings DCS, OSC, APC, PM and
/// SOS up to their terminator, and a bracketed paste (`CSI 200 ~` to
/// `CSI 201 ~`) with all it holds: pasted text is no taps. A paste whose end
/// does not come before the wait runs out ends there. A sequence cut short, by the
/// wait running out or by a byte that cannot continue it, yields what its
/// bytes would mean typed as keys (`ESC [` alone is Alt+[), and the bytes
/// after that are decoded anew.
class TerminalDecoder {
 public:
  /// Longest escape sequence kept; a longer one is discarded up to its end.
  static constexpr std::size_t MAX_SEQUENCE = 32;

  explicit TerminalDecoder(TextEncoding encoding = TextEncoding::utf8) : encoding_(encoding) {}

  /// Takes bytes from the front of [bytes, bytes + length) until one key-down
  /// is complete and returns how many it took. `complete` tells whether `key`
  /// now holds a key-down; bytes not taken belong to the next call. Bytes of
  /// a cut-short sequence that are decoded anew come first, so a call with
  /// no bytes can still complete a key while replaying() is true.
  std::size_t feed(const unsigned char* bytes, std::size_t length, KeyRecord& key, bool& complete);

  /// True while a partial sequence is held and more bytes could complete it.
  bool waiting() const { return held_length_ > 0 || mode_ != Mode::sequence; }

  /// True while bytes of a cut-short sequence wait to be decoded anew.
  bool replaying() const { return replay_start_ < replay_end_; }

  /// Ends the wait: the held bytes become the key they stand for typed alone
  /// (ESC is Esc, ESC [ is Alt+[) and true is returned, or they are dropped.
  /// Bytes after that key are then decoded anew (see replaying()).
  bool flush(KeyRecord& key);

 private:
  enum class Mode {
    sequence,  // keys and escape sequences, held in held_
    overlong,  // a CSI past MAX_SEQUENCE, dropped up to its final byte
    string,    // inside DCS, OSC, APC, PM or SOS, up to its terminator
    mouse,     // inside an X10 mouse report: characters still to come
    paste,     // inside a bracketed paste, up to its end marker
  };

  bool take(unsigned char b, KeyRecord& key, bool& put_back);
  bool finish(bool cut, std::size_t cut_length, const KeyRecord* found, KeyRecord& key);
  bool mouse_was_a_key(KeyRecord& key);
  void string_byte(unsigned char b);
  void replay_held_from(std::size_t from, const unsigned char* extra, std::size_t extra_length);

  TextEncoding encoding_;
  Mode mode_ = Mode::sequence;
  unsigned char held_[MAX_SEQUENCE] = {};
  std::size_t held_length_ = 0;
  // Strings: whether an ESC may be starting the terminator, whether the
  // string is an OSC (BEL ends it too), and whether it outgrew held_.
  bool string_escape_ = false;
  bool string_is_osc_ = false;
  bool string_overflowed_ = false;
  std::size_t paste_matched_ = 0;  // bytes of the end marker seen so far
  std::size_t mouse_prefix_ = 3;   // ESC [ M, or ESC ESC [ M with Alt
  int mouse_characters_left_ = 0;
  int mouse_continuations_ = 0;  // UTF-8 continuation bytes the current character still needs
  unsigned char replay_[2 * MAX_SEQUENCE] = {};
  std::size_t replay_start_ = 0;
  std::size_t replay_end_ = 0;
};

}  // namespace tap
