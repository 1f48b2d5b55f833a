#pragma once

#include <cstddef>

namespace tap {

// The signal dispositions of a run on a terminal, and the terminal mode
// they put back: what the README's Signals section describes, in one place.
// The key reader hands the terminal over and asks which request to stop,
// if any, has come.

/// Installs the handlers for the open terminal and takes raw mode. In the
/// background, taking raw mode stops the program until it is brought to
/// the foreground, as a terminal program should; a request to stop ends
/// that wait.
void take_terminal();

/// Puts the terminal's mode back (in the foreground only: from the
/// background the shell has its own mode on it) and the dispositions as
/// they were found, with every signal but a crash held meanwhile.
void give_terminal_back();

/// The signal that asked the run to end, or 0.
int termination_requested();

/// The signal's name as `kill -l` gives it ("SIGTERM", "SIGRTMAX-3").
void name_signal(int signo, char* out, std::size_t size);

}  // namespace tap
