#pragma once

namespace tap {

/// How the program ends, as its exit code says; the codes past 2 are the
/// BSD sysexits ones, so that a script can tell the kinds apart.
constexpr int EXIT_DONE = 0;               // the run reached its closing prompt
constexpr int EXIT_CHART_NOT_WRITTEN = 1;  // "ved.txt" could not be opened or written
constexpr int EXIT_NO_TERMINAL = 2;        // no terminal, or it went away
constexpr int EXIT_USAGE = 64;             // EX_USAGE: an argument not taken, a value out of range
constexpr int EXIT_TOO_FEW_TAPS = 65;      // EX_DATAERR: the calibration's taps tell no offset (too few, too scattered)
constexpr int EXIT_NOT_A_CHART = 65;       // EX_DATAERR: the ved.txt a take is to go into is no chart
constexpr int EXIT_SONG_UNREADABLE = 66;   // EX_NOINPUT: missing, unreadable, not audio
constexpr int EXIT_NO_CHART = 66;          // EX_NOINPUT: no ved.txt to play back
constexpr int EXIT_NO_AUDIO_OUTPUT = 69;   // EX_UNAVAILABLE: no output, no such device
constexpr int EXIT_OUTPUT_IS_CHART = 73;   // EX_CANTCREAT: standard output is ved.txt
/// A signal that ended the run gives this plus its number.
constexpr int EXIT_SIGNAL_BASE = 128;

/// Each code with what it means to the user, as --help lists them.
struct ExitCodeMeaning {
  int code;
  const char* meaning;
};
constexpr ExitCodeMeaning EXIT_CODE_MEANINGS[] = {
    {EXIT_DONE, "the run reached the closing prompt"},
    {EXIT_CHART_NOT_WRITTEN, "ved.txt could not be opened or written (the chart is shown anyway)"},
    {EXIT_NO_TERMINAL, "no terminal to read keys from, or the terminal went away"},
    {EXIT_USAGE, "an argument the program does not take, or a value out of range"},
    {EXIT_TOO_FEW_TAPS,
     "--calibrate: too few taps near the clicks, or too scattered, to tell an offset; --merge, --review: ved.txt is no "
     "chart"},
    {EXIT_SONG_UNREADABLE, "the song is missing, unreadable or not audio; --review: there is no ved.txt"},
    {EXIT_NO_AUDIO_OUTPUT, "no audio output, or no output of that name"},
    {EXIT_OUTPUT_IS_CHART, "standard output is ved.txt, where the chart goes"},
};

}  // namespace tap
