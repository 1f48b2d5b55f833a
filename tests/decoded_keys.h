#pragma once

// The decoder as the tests and the fuzzers drive it: reads pushed one after
// another with every key they complete taken, and the wait run out at the end.

#include <cstdlib>
#include <vector>

#include "console/terminal_decoder.h"

namespace tap {

class DecodedKeys {
 public:
  explicit DecodedKeys(TextEncoding encoding = TextEncoding::utf8) : decoder_(encoding) {}

  /// One read's bytes: the decoder takes what fits, the rest once the keys
  /// before it are out.
  void read(const unsigned char* bytes, std::size_t length) {
    while (length > 0) {
      std::size_t taken = decoder_.push(bytes, length);
      if (taken == 0) std::abort();  // a decoder that stops taking bytes would hang the reader
      bytes += taken;
      length -= taken;
      take_keys();
    }
  }

  /// The wait runs out, as often as what a cut leaves behind is another
  /// partial sequence. Returns how often it ran out.
  std::size_t expire_wait() {
    std::size_t times = 0;
    for (; decoder_.waiting(); ++times) {
      KeyRecord key;
      if (decoder_.flush(key)) keys.push_back(key);
      take_keys();
    }
    return times;
  }

  std::vector<KeyRecord> keys;

 private:
  void take_keys() {
    KeyRecord key;
    while (decoder_.next(key)) keys.push_back(key);
  }

  TerminalDecoder decoder_;
};

}  // namespace tap
