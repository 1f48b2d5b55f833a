#include "console/key_stream.h"

namespace tap {

bool KeyStream::take_pending(int& code) {
  if (pending_second_code_ == -1) return false;
  code = pending_second_code_;
  pending_second_code_ = -1;
  return true;
}

bool KeyStream::take(const KeyRecord& key, int& code) {
  KeyCodes codes = translate_key_record(key);
  if (codes.count == 0) return false;
  if (codes.count == 2) pending_second_code_ = codes.second;
  code = codes.first;
  return true;
}

bool KeyStream::next(int& code) {
  if (take_pending(code)) return true;
  while (start_ < end_) {
    KeyRecord key;
    bool complete = false;
    start_ += decoder_.feed(buffer_ + start_, end_ - start_, key, complete);
    if (complete && take(key, code)) return true;
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
  return decoder_.flush(key) && take(key, code);
}

}  // namespace tap
