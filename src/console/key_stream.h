#pragma once

#include <cstddef>

#include "console/terminal_decoder.h"

namespace tap {

/// The terminal's bytes in, read_key's codes out, with no I/O: a fixed
/// buffer for what one read brought, the decoder, and the second code of a
/// two-step key. The POSIX reader fills it from /dev/tty.
class KeyStream {
 public:
  static constexpr std::size_t BUFFER_SIZE = 4096;

  explicit KeyStream(TextEncoding encoding = TextEncoding::utf8) : decoder_(encoding) {}

  /// The second code of the last two-step key, if one is waiting.
  bool take_pending(int& code) { return pending_.take(code); }

  /// The next code from the bytes held; false when they are used up (keys
  /// that give no code, like a lone modifier, are passed over).
  bool next(int& code);

  /// Where the next read may put its bytes: only once next() returned false.
  unsigned char* space() { return buffer_; }
  std::size_t space_size() const { return BUFFER_SIZE; }
  void filled(std::size_t length);

  /// True while a partial sequence waits for more bytes.
  bool waiting() const { return decoder_.waiting(); }

  /// The wait for more bytes ran out: the code of the partial sequence as a
  /// key of its own, if it makes one; the keys of the bytes after it then
  /// come from next().
  bool flush(int& code);

 private:
  TerminalDecoder decoder_;
  unsigned char buffer_[BUFFER_SIZE] = {};
  std::size_t start_ = 0;
  std::size_t end_ = 0;
  PendingSecondCode pending_;
};

}  // namespace tap
