#pragma once

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
  char detail[96] = "";  // what the system said, for the user
};

/// The keyboard of the console the program runs in, never standard input.
/// Returns false when there is no usable one; key_reader_status() says why.
bool open_key_reader();

/// Blocks until a key-down and returns its code: a character byte
/// (sign-extended), a one-step code, or 0 followed on the next call by a
/// second code. -1 when the read failed; key_reader_status() then tells a
/// failure from the character byte 255. After a fault every call returns
/// -1 at once.
int read_key();

/// Puts the console back as open_key_reader found it.
void close_key_reader();

const KeyReaderStatus& key_reader_status();

}  // namespace tap
