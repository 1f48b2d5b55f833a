#pragma once

#include <cstddef>

namespace tap {

// The controlling terminal of a run, in one place: its descriptor, the mode
// it was found in, the raw mode the keys are read in, and bracketed paste,
// which goes on with raw mode and off with it (the terminal then marks a
// paste, and the decoder takes it whole as no key). Entering and leaving
// raw mode are async-signal-safe, for the signal handlers.

/// Opens /dev/tty and reads its mode; false with the reason in `why`.
bool open_terminal(char* why, std::size_t size);
/// Closes it; raw mode must be left first.
void close_terminal();
int terminal_fd();
/// The mode as found turned CR into LF: typed ahead, an LF was an ENTER.
bool terminal_turned_cr_into_lf();

/// The program's process group owns the terminal: from the background a
/// mode change would stop the program (SIGTTOU), even inside a handler.
bool terminal_in_foreground();
/// Takes raw mode; false (errno set) when the terminal refuses it.
bool enter_raw_mode();
/// Puts the mode as found back, where raw mode is on and the program is in
/// the foreground (from the background the shell has its own mode on it).
void leave_raw_mode();
/// Asks a terminal that speaks the kitty keyboard protocol for key releases,
/// for as long as raw mode is on (taken back with it, and asked anew when
/// raw mode is taken again after a stop).
void report_key_releases();

}  // namespace tap
