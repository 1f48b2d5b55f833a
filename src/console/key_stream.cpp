#include "console/key_stream.h"

namespace tap {

bool KeyStream::next(int& code) {
  if (pending_.take(code)) return true;
  // Bytes of a cut-short sequence come before the rest of the read.
  while (start_ < end_ || decoder_.replaying()) {
    KeyRecord key;
    bool complete = false;
    start_ += decoder_.feed(buffer_ + start_, end_ - start_, key, complete);
    if (complete && pending_.deliver(key, code)) return true;
  }
  start_ = end_ = 0;
  return false;
}

void KeyStream::filled(std::size_t length) {
  start_ = 0;
  end_ = length < BUFFER_SIZE ? length : BUFFER_SIZE;
}

bool KeyStream::flush(int& code) {
  KeyRecord key;
  if (decoder_.flush(key) && pending_.deliver(key, code)) return true;
  return next(code);  // what the cut-short sequence held after its key
}

}  // namespace tap
