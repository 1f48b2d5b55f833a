#include "console/key_stream.h"

namespace tap {

bool KeyStream::next(int& code) {
  if (pending_.take(code)) return true;
  KeyRecord key;
  while (decoder_.next(key)) {
    if (key.released) {
      if (releases_ && (code = translate_key_release(key)) >= 0) return true;
      continue;
    }
    if (pending_.deliver(key, code)) return true;
  }
  return false;
}

bool KeyStream::flush(int& code) {
  KeyRecord key;
  if (decoder_.flush(key) && pending_.deliver(key, code)) return true;
  return next(code);  // what the cut-short sequence held after its key
}

}  // namespace tap
