#pragma once

namespace tap {

/// What the handlers of termination requests (POSIX signals, the Windows
/// console's control events) know of the run, and what they may do to the
/// console output. Every function is async-signal-safe: plain flags.

/// From the start of the capture until the chart file is closed, taps are
/// at stake. Meanwhile no termination request ends the program at once:
/// the first ends the capture as always, and a later one gives up the
/// console output instead, so the chart file is always written to its end.
void set_taps_at_stake(bool at_stake);
bool taps_at_stake();

/// Gives up standard output and standard error for the rest of the run: a
/// write blocked now returns once the signal that called this has
/// interrupted it, and later writes are dropped. The way out of a console
/// that blocks (a stopped terminal, a full pipe nobody reads).
void abandon_console_output();
bool console_output_abandoned();

}  // namespace tap
