#pragma once

#include <memory>

#include "console/text_encoding.h"

namespace tap {

/// Why read_key has stopped delivering keys.
enum class ReaderFault {
  none,
  no_terminal,    // there was never a terminal to read (none, or unusable)
  terminal_lost,  // the terminal went away: end of input, a read error, a hang-up
  signal,         // a signal asked the program to end
};

struct KeyReaderStatus {
  ReaderFault fault = ReaderFault::none;
  int signal_number = 0;
  bool console_closed = false;  // the console itself is going: writing to it may hang
  char detail[96] = "";         // what the system said, for the user
};

/// Where the Recorder gets its keys: read_key's codes, and why they stopped.
class KeySource {
 public:
  virtual ~KeySource() = default;

  /// Blocks until a key-down and returns its code: a character byte
  /// (sign-extended), a one-step code, or 0 followed on the next call by a
  /// second code. -1 when the read failed; status() then tells a failure
  /// from the character byte 255. After a fault every call returns -1 at
  /// once.
  virtual int read_key() = 0;
  virtual const KeyReaderStatus& status() const = 0;
  /// Asks for the releases of the lane keys from now on, as CODE_RELEASED
  /// codes; false where the console cannot tell them.
  virtual bool report_releases() { return false; }
  /// Waits up to `wait_ms` for a key, reading nothing; true when read_key
  /// will not keep the caller long (a key is there, the keys failed, or
  /// the source cannot tell).
  virtual bool key_ready(int wait_ms) {
    (void)wait_ms;
    return true;
  }
};

/// Reads until ENTER, dropping every other code (both halves of an extended
/// key included); false when the keys fail first.
bool wait_for_enter(KeySource& keys);

/// The keyboard of the console the program runs in, never standard input:
/// /dev/tty in raw mode for the whole run on POSIX, the console input device
/// with input mode 0 for each read on Windows. The constructor opens it and
/// the destructor puts the console back as it was found; the signal or
/// console-event handlers put it back too when the program is ended from
/// outside. One at a time.
class KeyReader final : public KeySource {
 public:
  explicit KeyReader(TextEncoding encoding);
  ~KeyReader() override;
  KeyReader(const KeyReader&) = delete;
  KeyReader& operator=(const KeyReader&) = delete;

  /// False when there is no usable console; status() says why.
  bool is_open() const { return open_; }

  int read_key() override;
  const KeyReaderStatus& status() const override { return status_; }
  bool report_releases() override;
  bool key_ready(int wait_ms) override;

 private:
  bool open_key_reader(TextEncoding encoding);
  void close_key_reader();
  int fail(ReaderFault fault, const char* detail);

  struct Platform;  // the state only one platform's reader keeps
  std::unique_ptr<Platform> platform_;
  KeyReaderStatus status_;
  bool open_ = false;
};

}  // namespace tap
