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
/// Understood: CSI and SS3 cursor and function keys with the xterm modifier
/// parameter (1 + bits Shift 1, Alt 2, Ctrl 4), the VT220 `~` numbers, the
/// Linux console's `CSI [ A` to `E`, rxvt's `$ ^ @` suffixes and lower-case
/// finals, `CSI u` and modifyOtherKeys, ESC as the Alt prefix, control bytes
/// and UTF-8 or Shift-JIS characters. Anything else that starts with ESC is
/// swallowed whole.
class TerminalDecoder {
 public:
  /// Longest escape sequence kept; a longer one is discarded up to its end.
  static constexpr std::size_t MAX_SEQUENCE = 32;

  explicit TerminalDecoder(TextEncoding encoding = TextEncoding::utf8) : encoding_(encoding) {}

  /// Takes bytes from the front of [bytes, bytes + length) until one key-down
  /// is complete and returns how many it took. `complete` tells whether `key`
  /// now holds a key-down; bytes not taken belong to the next call.
  std::size_t feed(const unsigned char* bytes, std::size_t length, KeyRecord& key, bool& complete);

  /// True while a partial sequence is held and more bytes could complete it.
  bool waiting() const { return held_length_ > 0 || discarding_; }

  /// Ends the wait: the held bytes become the key they stand for alone (ESC
  /// is Esc, ESC [ is Alt+[) and true is returned, or they are dropped.
  bool flush(KeyRecord& key);

 private:
  TextEncoding encoding_;
  unsigned char held_[MAX_SEQUENCE] = {};
  std::size_t held_length_ = 0;
  bool discarding_ = false;
};

}  // namespace tap
