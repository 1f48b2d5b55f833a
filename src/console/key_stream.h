#pragma once

#include <cstddef>

#include "console/terminal_decoder.h"

namespace tap {

/// The terminal's bytes in, read_key's codes out, with no I/O: the decoder,
/// which holds what the reads brought, and the second code of a two-step
/// key. The POSIX reader fills it from /dev/tty.
class KeyStream {
 public:
  explicit KeyStream(TextEncoding encoding = TextEncoding::utf8) : decoder_(encoding) {}

  /// From now on a key-up of a lane key gives its release code
  /// (CODE_RELEASED); other key-ups give nothing, as before.
  void report_releases() { releases_ = true; }

  /// The second code of the last two-step key, if one is waiting.
  bool take_pending(int& code) { return pending_.take(code); }
  bool has_pending() const { return pending_.waiting(); }

  /// The next code from the bytes held; false when they are used up (keys
  /// that give no code, like a lone modifier, are passed over).
  bool next(int& code);

  /// Where the next read may put its bytes, once next() returned false.
  unsigned char* space() { return decoder_.space(); }
  std::size_t space_size() const { return decoder_.space_size(); }
  void filled(std::size_t length) { decoder_.pushed(length); }
  std::size_t push(const unsigned char* bytes, std::size_t length) { return decoder_.push(bytes, length); }

  /// True while a partial sequence waits for more bytes.
  bool waiting() const { return decoder_.waiting(); }

  /// The wait for more bytes ran out: the code of the partial sequence as a
  /// key of its own, if it makes one; the keys of the bytes after it then
  /// come from next().
  bool flush(int& code);

 private:
  TerminalDecoder decoder_;
  PendingSecondCode pending_;
  bool releases_ = false;
};

}  // namespace tap
