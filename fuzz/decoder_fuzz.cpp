// Feeds arbitrary terminal input through the decoder and the key
// translation, split into reads of arbitrary sizes, and checks what a
// reader of the codes relies on.

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "console/key_stream.h"
#include "console/key_table.h"
#include "console/terminal_decoder.h"
#include "decoded_keys.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

// Every key-down gives nothing, one code, or 0 and one second code, all
// within what read_key may return.
void check_codes(const tap::KeyCodes& codes) {
  check(codes.count >= 0 && codes.count <= 2);
  if (codes.count == 1) check(codes.first != 0 && codes.first >= -128 && codes.first <= 127);
  if (codes.count == 2) check(codes.first == 0 && codes.second >= 1 && codes.second <= 166);
}

// The records of the whole input as one read, or in reads whose sizes come
// from `sizes`; the wait runs out only at the end.
std::vector<tap::KeyRecord> decode(const std::uint8_t* data, std::size_t size, tap::TextEncoding encoding,
                                   const std::uint8_t* sizes, std::size_t size_count) {
  tap::DecodedKeys decoded(encoding);
  std::size_t at = 0, chunk_index = 0;
  while (at < size) {
    std::size_t chunk = size - at;
    if (size_count != 0) chunk = 1 + sizes[chunk_index++ % size_count] % 8;
    if (chunk > size - at) chunk = size - at;
    decoded.read(data + at, chunk);
    at += chunk;
  }
  // Every run of the wait consumes a byte at least, or ends a string or paste.
  check(decoded.expire_wait() <= size + 1);
  for (const tap::KeyRecord& key : decoded.keys) check_codes(tap::translate_key_record(key));
  return decoded.keys;
}

bool same(const std::vector<tap::KeyRecord>& a, const std::vector<tap::KeyRecord>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].virtual_key != b[i].virtual_key || a[i].character != b[i].character ||
        a[i].control_state != b[i].control_state) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  // First byte: the encoding and how many of the following bytes give read
  // sizes; the rest is what the terminal sent.
  tap::TextEncoding encoding = (data[0] & 1) ? tap::TextEncoding::shift_jis : tap::TextEncoding::utf8;
  std::size_t size_count = (data[0] >> 1) % 8;
  if (size < 1 + size_count) return 0;
  const std::uint8_t* sizes = data + 1;
  const std::uint8_t* bytes = data + 1 + size_count;
  std::size_t length = size - 1 - size_count;

  // However the reads split the bytes, the keys are the same.
  std::vector<tap::KeyRecord> whole = decode(bytes, length, encoding, nullptr, 0);
  check(whole.size() <= length);
  if (size_count != 0) check(same(whole, decode(bytes, length, encoding, sizes, size_count)));

  // The same through the reader's stream, with the wait running out after
  // every read.
  tap::KeyStream stream(encoding);
  std::size_t at = 0;
  while (at < length) {
    at += stream.push(bytes + at, length - at);
    int code = 0;
    while (stream.next(code)) check(code >= -128 && code <= 166);
    if (stream.flush(code)) check(code >= -128 && code <= 127);
    while (stream.next(code)) check(code >= -128 && code <= 166);
  }
  return 0;
}
