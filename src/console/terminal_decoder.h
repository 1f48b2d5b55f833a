#pragma once

#include <cstddef>

#include "console/key_table.h"
#include "console/text_encoding.h"

namespace tap {

/// What a terminal answered to the kitty keyboard protocol's query (CSI ? u)
/// sent before a request for its primary device attributes (CSI c), which
/// every terminal answers: the protocol's answer came before the
/// attributes' (it speaks the protocol), the attributes' alone (it does
/// not), or the attributes' not yet.
enum class ProtocolAnswer { waiting, speaks, does_not };
ProtocolAnswer kitty_protocol_answer(const unsigned char* bytes, std::size_t length);

/// Turns the bytes a terminal sends into key records (key-downs, and the
/// key-ups of the kitty keyboard protocol). It does no I/O
/// and keeps no clock; it owns its input buffer: the caller reads into
/// space(), says how many bytes came with pushed(), takes keys with next()
/// until it returns false, and calls flush() when nothing has followed a
/// partial sequence for a short wait, which is how a lone ESC becomes the
/// Esc key. A key consumes its bytes; an incomplete sequence stays at the
/// front of the buffer across reads.
///
/// Keys: the CSI and SS3 sequences of one table (xterm, VTE, rxvt, st, the
/// Linux console, VT220, tmux and screen) with the xterm modifier parameter
/// (1 + bits Shift 1, Alt 2, Ctrl 4), rxvt's `$ ^ @` suffixes, `CSI u` with
/// the kitty keyboard protocol's sub-parameters and keypad code points,
/// modifyOtherKeys, ESC as the Alt prefix, control bytes, and UTF-8 or
/// Shift-JIS characters (U+00A0 is xterm's eight-bit Alt+Space, U+3000 the
/// space bar under a Japanese input method).
///
/// What is not a key is consumed whole and yields nothing: other CSI
/// sequences (reports, focus, SGR and urxvt mouse), X10 and UTF-8 mouse
/// reports (`CSI M` and three characters), the strings DCS, OSC, APC, PM and
/// SOS up to their terminator, and a bracketed paste (`CSI 200 ~` to
/// `CSI 201 ~`) with all it holds: pasted text is no taps. A paste whose end
/// does not come before the wait runs out ends there. A sequence or string
/// cut short, by the wait running out or by a byte that cannot continue it,
/// yields what its bytes would mean typed as keys (`ESC [` alone is Alt+[,
/// `ESC ]` Alt+]): the cut consumes the bytes of that key, and the bytes
/// after it are decoded anew where they are.
class TerminalDecoder {
 public:
  /// Longest escape sequence held; a longer one is discarded up to its end.
  static constexpr std::size_t MAX_SEQUENCE = 32;
  /// Longest string held for a cut; a longer one came from the terminal
  /// (keys typed after an opener are cut by the wait long before) and is
  /// discarded up to its terminator.
  static constexpr std::size_t MAX_STRING = 1024;
  static constexpr std::size_t BUFFER_SIZE = 4096;

  explicit TerminalDecoder(TextEncoding encoding = TextEncoding::utf8) : encoding_(encoding) {}

  /// Where the next read may put its bytes, and how many fit: once next()
  /// has returned false, at least BUFFER_SIZE - MAX_STRING - 1.
  unsigned char* space();
  std::size_t space_size() const { return BUFFER_SIZE - (end_ - start_); }
  /// `length` bytes were put at space().
  void pushed(std::size_t length);
  /// Copies what fits of [bytes, bytes + length) and returns how many.
  std::size_t push(const unsigned char* bytes, std::size_t length);

  /// The next key-down, or a key-up where the terminal tells one (the kitty
  /// keyboard protocol's release event), from the bytes held: false when
  /// they are used up or end in a partial sequence (see waiting()).
  bool next(KeyRecord& key);

  /// After next() returned false: true while a partial sequence is held and
  /// more bytes could complete it.
  bool waiting() const { return start_ < end_ || mode_ != Mode::sequence; }

  /// Ends the wait: the partial sequence becomes the key its first bytes
  /// stand for typed alone (ESC is Esc, ESC [ is Alt+[) and true is
  /// returned, or it is dropped. The bytes after that key come from next().
  bool flush(KeyRecord& key);

 private:
  enum class Mode {
    sequence,  // keys and escape sequences: held from start_ to scan_
    overlong,  // a CSI past MAX_SEQUENCE, consumed up to its final byte
    string,    // inside DCS, OSC, APC, PM or SOS, up to its terminator
    mouse,     // inside an X10 mouse report: characters still to come
    paste,     // inside a bracketed paste, consumed up to its end marker
  };

  bool take(KeyRecord& key);
  bool finish(std::size_t consumed, const KeyRecord* found, KeyRecord& key);
  bool mouse_was_a_key(KeyRecord& key);
  void string_byte(unsigned char b);
  void mouse_byte(unsigned char b);
  void consume_to(std::size_t at) { start_ = scan_ = at; }

  TextEncoding encoding_;
  Mode mode_ = Mode::sequence;
  // Bytes from start_ to end_ are not yet consumed; those before scan_ have
  // been looked at and make a partial sequence or a string still held.
  unsigned char buffer_[BUFFER_SIZE] = {};
  std::size_t start_ = 0;
  std::size_t scan_ = 0;
  std::size_t end_ = 0;
  // Strings: whether an ESC may be starting the terminator, whether the
  // string is an OSC (BEL ends it too), and whether it outgrew MAX_STRING
  // (its bytes are then consumed as they come).
  bool string_escape_ = false;
  bool string_is_osc_ = false;
  bool string_overflowed_ = false;
  std::size_t paste_matched_ = 0;  // bytes of the end marker seen so far
  std::size_t mouse_prefix_ = 3;   // ESC [ M, or ESC ESC [ M with Alt
  int mouse_characters_left_ = 0;
  int mouse_continuations_ = 0;  // UTF-8 continuation bytes the current character still needs
};

}  // namespace tap
