#include "recorder/command_line.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "recorder/recorder.h"

#ifndef TAP_RECORDER_VERSION
#error "the build gives the project's version as TAP_RECORDER_VERSION"
#endif

namespace tap {
namespace {

// Plain ASCII, so it reads the same whatever the console's encoding.
const char* const USAGE[] = {
    "Usage: tap-recorder [OPTION]... [SONG]",
    "       tap-recorder --calibrate [--device NAME]",
    "       tap-recorder --list-devices | --help | --version",
    "",
    "Records key taps in time with a song and writes them as a chart text.",
    "",
    "Tap along to the song: with SONG the program plays it from the start ENTER",
    "and times every tap on the song's own clock, from the moment its first",
    "sample leaves the audio output. Without SONG, start the song yourself and",
    "press ENTER on its first beat.",
    nullptr,  // the kinds of song file this build reads
    "",
    "Press ENTER to start, tap the arrow keys and the space bar in time with",
    "the song, and press ENTER again to stop (a run holds at most 9999 taps).",
    "Every tap is answered on the console; any other key is answered but not",
    "recorded. Keys are read from the terminal itself, not from standard input.",
    "",
    "The chart (five lanes of frame numbers, 1/30 s of the song) is written to",
    "ved.txt in the current directory, replacing it (the old one is kept as",
    "ved.txt~), and shown on the console.",
    "Press ENTER once more to leave.",
    "",
    "Options:",
    "  --rate R        play at R times the speed (0.25 to 2), keeping the pitch;",
    "                  the chart is still the song's at full speed",
    "  --start TIME    begin playback at TIME (seconds, or m:ss.sss); frames",
    "                  still count from the song's beginning",
    "  --offset MS     take MS milliseconds off every tap (your own latency, in",
    "                  real time: the same at any --rate)",
    "  --holds[=MS]    a lane key held down MS milliseconds or more (250 unless",
    "                  given, 50 to 2000) is a hold: its press and its release",
    "                  go to the lane's freeze line",
    "  --merge         put the take into the ved.txt that is there: its notes from",
    "                  where playback began to the closing ENTER give way to the",
    "                  take's, every other line stays as it is",
    "  --lanes L,...   record only these lanes (left, down, up, right, space, as",
    "                  the chart names them); another lane's key is not recorded",
    "  --bpm B[@MS]    with --snap N: move every tap to the nearest 1/N beat of a",
    "                  grid of B beats a minute whose first beat is at MS ms of",
    "                  the song (0 unless given); N is 1, 2, 3, 4, 6, 8, 12, 16,",
    "                  24, 32, 48 or 64",
    "  --review        play the song with a click at every note of ved.txt (a",
    "                  pitch for each lane, a hold at both ends) and show each",
    "                  note's line as it is heard; records nothing",
    "  --device NAME   play through NAME, as --list-devices shows it",
    "  --list-devices  list the audio outputs",
    "  --calibrate     play 16 clicks at 120 BPM, tap SPACE on each, and get",
    "                  the --offset that suits you (writes no chart)",
    "  --              ends the options: a song named '-take1.wav' may follow",
    "",
    "Exit codes:",
};
// After the codes each with its meaning.
const char* const USAGE_END[] = {
    "  128+N  ended by signal N (the chart of what was recorded is written first)",
    "",
    "See tap-recorder(1) for the details.",
};

bool is(const char* argument, const char* name) { return std::strcmp(argument, name) == 0; }

bool parse_number(const char* text, double& value) {
  char* end = nullptr;
  value = std::strtod(text, &end);
  return end != text && *end == '\0' && std::isfinite(value);
}

// Seconds ("75.5") or minutes and seconds ("1:15.5").
bool parse_time(const char* text, double& seconds) {
  const char* colon = std::strchr(text, ':');
  if (colon == nullptr) return parse_number(text, seconds) && seconds >= 0;
  char* end = nullptr;
  long minutes = std::strtol(text, &end, 10);
  if (end != colon || colon == text || minutes < 0 || text[0] == '-' || text[0] == '+') return false;
  double rest = 0;
  if (!parse_number(colon + 1, rest) || rest < 0 || rest >= 60 || colon[1] == '+') return false;
  seconds = static_cast<double>(minutes) * 60 + rest;
  return true;
}

// "left,space": a bit for each lane named.
bool parse_lanes(const char* text, unsigned& lanes) {
  lanes = 0;
  for (const char* at = text;; ++at) {
    std::size_t length = std::strcspn(at, ",");
    int lane = 0;
    while (lane < LANE_COUNT &&
           !(std::strlen(LANE_NAMES[lane]) == length && std::strncmp(at, LANE_NAMES[lane], length) == 0))
      ++lane;
    if (lane == LANE_COUNT) return false;
    lanes |= 1u << lane;
    at += length;
    if (*at == '\0') return true;
  }
}

// "120" or "120@250": beats a minute, and where the first beat is.
bool parse_grid(const char* text, BeatGrid& grid) {
  char bpm[64];
  const char* at_sign = std::strchr(text, '@');
  std::size_t length = at_sign != nullptr ? static_cast<std::size_t>(at_sign - text) : std::strlen(text);
  if (length >= sizeof bpm) return false;
  std::memcpy(bpm, text, length);
  bpm[length] = '\0';
  double first = 0, beats = 0;
  if (!parse_number(bpm, beats) || beats < 1 || beats > 999) return false;
  if (at_sign != nullptr && !(parse_number(at_sign + 1, first) && first >= 0 && first <= 86400000)) return false;
  grid.bpm = beats;
  grid.first_beat_ms = first;
  return true;
}

// The options that take a value, and what they take.
// Some need a song; the others shape the take, which a review has none of.
enum class OptionUse { song, take };
struct ValueOption {
  const char* name;
  const char* wanted;
  OptionUse use;
};
const ValueOption VALUE_OPTIONS[] = {
    {"--rate", "a speed from 0.25 to 2", OptionUse::song},
    {"--start", "seconds or m:ss.sss", OptionUse::song},
    {"--offset", "milliseconds from -10000 to 10000", OptionUse::song},
    {"--device", "an output's name, as --list-devices shows it", OptionUse::song},
    {"--lanes", "lane names from left,down,up,right,space, between commas", OptionUse::take},
    {"--bpm", "beats a minute from 1 to 999, and the first beat's milliseconds after '@' (120@250)", OptionUse::take},
    {"--snap", "one of 1, 2, 3, 4, 6, 8, 12, 16, 24, 32, 48, 64 (a beat's parts)", OptionUse::take},
};
const char* const FLAG_OPTIONS[] = {"--calibrate", "--list-devices", "--help",  "--version",
                                    "--holds",     "--merge",        "--review"};

// The first problem is the one told.
template <typename... Values>
void refuse(CommandLine& command, const char* format, Values... values) {
  if (command.action == CommandLineAction::refuse) return;
  command.action = CommandLineAction::refuse;
  std::snprintf(command.problem, sizeof command.problem, format, values...);
}

// --holds, or --holds=MS: its value only after '=', so that a song may
// follow it. False when `argument` is not it.
bool take_holds(CommandLine& command, const char* argument) {
  constexpr int DEFAULT_HOLD_MS = 250;
  if (std::strncmp(argument, "--holds", 7) != 0 || (argument[7] != '\0' && argument[7] != '=')) return false;
  double number = DEFAULT_HOLD_MS;
  if (argument[7] == '=' && !(parse_number(argument + 8, number) && number >= 50 && number <= 2000)) {
    refuse(command, "tap-recorder: --holds takes milliseconds from 50 to 2000 (not '%.60s')", argument + 8);
    return true;
  }
  command.holds_ms = static_cast<int>(number);
  return true;
}

// Takes `value` for the option; false when it is refused.
bool take_value(CommandLine& command, const ValueOption& option, const char* value) {
  double number = 0;
  bool good = true;
  if (is(option.name, "--rate")) {
    good = parse_number(value, number) && number >= 0.25 && number <= 2.0;
    if (good) command.options.rate = number;
  } else if (is(option.name, "--start")) {
    good = parse_time(value, number);
    if (good) command.options.start_seconds = number;
  } else if (is(option.name, "--offset")) {
    good = parse_number(value, number) && std::fabs(number) <= 10000;
    if (good) command.options.offset_ms = number;
  } else if (is(option.name, "--lanes")) {
    good = parse_lanes(value, command.lanes);
  } else if (is(option.name, "--bpm")) {
    good = parse_grid(value, command.grid);
  } else if (is(option.name, "--snap")) {
    good = parse_number(value, number);
    const int divisions[] = {1, 2, 3, 4, 6, 8, 12, 16, 24, 32, 48, 64};
    good = good && std::find(std::begin(divisions), std::end(divisions), number) != std::end(divisions);
    if (good) command.grid.division = static_cast<int>(number);
  } else {
    command.options.device = value;
  }
  if (!good) {
    refuse(command, "tap-recorder: %s takes %s (not '%.60s')", option.name, option.wanted, value);
  }
  return good;
}

// How many one-character edits make `a` (its first `length` characters)
// into `b`: a misspelt option's distance from each the program takes.
std::size_t edit_distance(const char* a, std::size_t length, const char* b) {
  constexpr std::size_t MAX = 32;
  std::size_t b_length = std::strlen(b);
  if (length >= MAX || b_length >= MAX) return MAX;
  std::size_t row[MAX + 1];
  for (std::size_t j = 0; j <= b_length; ++j) row[j] = j;
  for (std::size_t i = 1; i <= length; ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b_length; ++j) {
      std::size_t above = row[j];
      std::size_t replace = diagonal + (a[i - 1] == b[j - 1] ? 0 : 1);
      row[j] = std::min(std::min(above, row[j - 1]) + 1, replace);
      diagonal = above;
    }
  }
  return row[b_length];
}

// The option a misspelt one most likely meant: the nearest within two
// edits, or the only one it begins; nullptr when none is near.
const char* nearest_option(const char* argument) {
  std::size_t length = std::strcspn(argument, "=");
  const char* best = nullptr;
  std::size_t best_distance = 3;
  auto consider = [&](const char* name) {
    std::size_t distance = edit_distance(argument, length, name);
    if (length >= 3 && std::strncmp(name, argument, length) == 0) distance = 1;
    if (distance < best_distance) {
      best = name;
      best_distance = distance;
    }
  };
  for (const ValueOption& option : VALUE_OPTIONS) consider(option.name);
  for (const char* name : FLAG_OPTIONS) consider(name);
  return best;
}

void refuse_argument(CommandLine& command, const char* argument) {
  if (command.action == CommandLineAction::refuse) return;
  command.refused = argument;
  const char* nearest = argument[0] == '-' ? nearest_option(argument) : nullptr;
  if (nearest != nullptr)
    refuse(command, "tap-recorder: unknown option '%.120s' (did you mean '%s'?)", argument, nearest);
  else
    refuse(command, "tap-recorder: unknown argument '%.120s' (try 'tap-recorder --help')", argument);
}

// One option of a session, with its value after '=' or in the next
// argument; false when `argument` is none of them.
bool take_option(CommandLine& command, int argc, const char* const* argv, int& i, OptionUse& use) {
  const char* argument = argv[i];
  for (const ValueOption& option : VALUE_OPTIONS) {
    std::size_t length = std::strlen(option.name);
    if (std::strncmp(argument, option.name, length) != 0 || (argument[length] != '\0' && argument[length] != '='))
      continue;
    use = option.use;
    if (argument[length] == '=') {
      take_value(command, option, argument + length + 1);
    } else if (i + 1 < argc) {
      take_value(command, option, argv[++i]);
    } else {
      refuse(command, "tap-recorder: %s needs a value: %s", option.name, option.wanted);
    }
    return true;
  }
  return false;
}

}  // namespace

// GNU's conventions: --help and --version win wherever they stand, "--"
// ends the options (a song may be named "-take1.wav"), and an option's
// value stands after '=' or as the next argument.
CommandLine parse_command_line(int argc, const char* const* argv) {
  CommandLine command;
  CommandLineAction asked = CommandLineAction::record;  // --help or --version, the first of them
  bool options_over = false, session_options = false, song_options = false, take_options = false, snap = false;
  const char* songs[2] = {nullptr, nullptr};
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    bool option = !options_over && argument[0] == '-' && argument[1] != '\0';
    OptionUse use = OptionUse::song;
    if (!option) {
      if (argument[0] == '\0' || songs[1] != nullptr) {
        refuse_argument(command, argument);
      } else {
        songs[songs[0] == nullptr ? 0 : 1] = argument;
        if (songs[1] != nullptr)
          refuse(command, "tap-recorder: one song at a time ('%.70s', then '%.70s')", songs[0], songs[1]);
      }
    } else if (is(argument, "--")) {
      options_over = true;
    } else if (is(argument, "--help") || is(argument, "-h")) {
      if (asked == CommandLineAction::record) asked = CommandLineAction::help;
    } else if (is(argument, "--version")) {
      if (asked == CommandLineAction::record) asked = CommandLineAction::version;
    } else if (take_holds(command, argument)) {
      session_options = take_options = true;
    } else if (is(argument, "--merge")) {
      command.merge = session_options = take_options = true;
    } else if (is(argument, "--review")) {
      command.review = session_options = true;
    } else if (take_option(command, argc, argv, i, use)) {
      song_options = song_options || use == OptionUse::song;
      take_options = take_options || use == OptionUse::take;
      // --device alone is the calibration's and the list's as well.
      session_options = session_options || std::strncmp(argument, "--device", 8) != 0;
      snap = snap || std::strncmp(argument, "--snap", 6) == 0;
    } else if (is(argument, "--calibrate") && command.action == CommandLineAction::record) {
      command.action = CommandLineAction::calibrate;
    } else if (is(argument, "--list-devices") && command.action == CommandLineAction::record) {
      command.action = CommandLineAction::list_devices;
    } else {
      refuse_argument(command, argument);
    }
  }
  if (asked != CommandLineAction::record) {
    CommandLine answer;
    answer.action = asked;
    return answer;
  }
  if (command.action == CommandLineAction::refuse) return command;
  command.song = songs[0];
  // The calibration and the list play no song of the user's, so the
  // session's options would say nothing there.
  if (command.action != CommandLineAction::record && (session_options || command.song != nullptr)) {
    refuse(command, "tap-recorder: %s takes no song and no option but --device",
           command.action == CommandLineAction::calibrate ? "--calibrate" : "--list-devices");
  } else if (command.action != CommandLineAction::record) {
  } else if (song_options && command.song == nullptr) {
    refuse(command, "%s", "tap-recorder: --rate, --start, --offset and --device need a song to play");
  } else if (command.review && command.song == nullptr) {
    refuse(command, "%s", "tap-recorder: --review needs a song: the chart's notes are heard in it");
  } else if (command.review && take_options) {
    refuse(command, "%s",
           "tap-recorder: --review plays the chart back and records nothing: it takes no --merge, --lanes, "
           "--bpm, --snap or --holds");
  } else if (command.merge && command.song == nullptr) {
    refuse(command, "%s", "tap-recorder: --merge needs a song: a take goes into the chart at the song's positions");
  } else if (command.grid.bpm > 0 && !snap) {
    refuse(command, "%s", "tap-recorder: --bpm needs --snap N: the part of a beat the taps are moved to");
  } else if (snap && command.grid.bpm == 0) {
    refuse(command, "%s", "tap-recorder: --snap needs --bpm: the beats a minute of the grid");
  }
  return command;
}

int answer_command_line(const CommandLine& command, Console& console) {
  switch (command.action) {
    case CommandLineAction::record: break;
    case CommandLineAction::calibrate: break;
    case CommandLineAction::list_devices: return list_output_devices(console);
    case CommandLineAction::help: {
      char formats[120];
      std::snprintf(formats, sizeof formats, "Songs it reads: %s.", song_formats());
      for (const char* line : USAGE) console.write_line(line != nullptr ? line : formats);
      for (const ExitCodeMeaning& exit : EXIT_CODE_MEANINGS) {
        char line[120];
        std::snprintf(line, sizeof line, "  %-4d %s", exit.code, exit.meaning);
        console.write_line(line);
      }
      for (const char* line : USAGE_END) console.write_line(line);
      return EXIT_DONE;
    }
    case CommandLineAction::version: console.write_line("tap-recorder " TAP_RECORDER_VERSION); return EXIT_DONE;
    case CommandLineAction::refuse: {
      console.error_line(command.problem);
      return EXIT_USAGE;
    }
  }
  return EXIT_DONE;
}

}  // namespace tap
