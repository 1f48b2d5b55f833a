#include "recorder/command_line.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "test_support.h"

namespace tap {
namespace {

using testing::CapturedConsole;

CommandLine command_line(std::vector<const char*> args) {
  args.insert(args.begin(), "tap-recorder");
  return parse_command_line(static_cast<int>(args.size()), args.data());
}

TEST(CommandLine, TakesHelpAndVersionAloneTheSongWithItsOptionsAndRefusesTheRest) {
  struct Case {
    std::vector<const char*> args;  // after the program's name
    CommandLineAction action;
    const char* refused;
    const char* song = nullptr;
    SongOptions options = {};
    const char* problem = "";
    int holds_ms = 0;
    unsigned lanes = 31;
    BeatGrid grid = {};
    bool merge = false;
    bool review = false;
  };
  const CommandLineAction REFUSE = CommandLineAction::refuse, RECORD = CommandLineAction::record;
  const Case cases[] = {
      {{}, CommandLineAction::record, nullptr},
      {{"--help"}, CommandLineAction::help, nullptr},
      {{"-h"}, CommandLineAction::help, nullptr},
      {{"--version"}, CommandLineAction::version, nullptr},
      {{"--verbose"}, CommandLineAction::refuse, "--verbose"},
      {{""}, CommandLineAction::refuse, ""},
      // --help and --version win wherever they stand, the first of them.
      {{"--help", "--version"}, CommandLineAction::help, nullptr},
      {{"--version", "x"}, CommandLineAction::version, nullptr},
      {{"-x", "--help"}, CommandLineAction::help, nullptr},
      {{"--rate", "0.5", "--help"}, CommandLineAction::help, nullptr},
      {{"--help", "--rate", "0.5"}, CommandLineAction::help, nullptr},
      {{"--", "--help"}, CommandLineAction::record, nullptr, "--help"},  // a song of that name
      {{"--rate=0.5", "--", "-take1.wav"}, CommandLineAction::record, nullptr, "-take1.wav", {0.5, 0, 0, nullptr}},
      {{"-take1.wav"}, CommandLineAction::refuse, "-take1.wav"},
      {{"--rat=0.5", "s.wav"}, CommandLineAction::refuse, "--rat=0.5", nullptr, {}, "(did you mean '--rate'?)"},
      {{"--ofset", "5"}, CommandLineAction::refuse, "--ofset", nullptr, {}, "(did you mean '--offset'?)"},
      {{"--list"}, CommandLineAction::refuse, "--list", nullptr, {}, "(did you mean '--list-devices'?)"},
      {{"song.ogg"}, CommandLineAction::record, nullptr, "song.ogg"},
      {{"a.ogg", "b.ogg"},
       CommandLineAction::refuse,
       nullptr,
       nullptr,
       {},
       "tap-recorder: one song at a time ('a.ogg', then 'b.ogg')"},
      {{"--rate", "0.5", "--start=1:02.5", "--offset", "-23.5", "--device", "JACK", "s.wav"},
       CommandLineAction::record,
       nullptr,
       "s.wav",
       {0.5, 62.5, -23.5, "JACK"}},
      {{"s.wav", "--start", "75.25", "--rate=2"},
       CommandLineAction::record,
       nullptr,
       "s.wav",
       {2.0, 75.25, 0, nullptr}},
      {{"--rate", "0.2", "s.wav"},
       CommandLineAction::refuse,
       nullptr,
       nullptr,
       {},
       "tap-recorder: --rate takes a speed from 0.25 to 2 (not '0.2')"},
      {{"--rate=2.01", "s.wav"}, CommandLineAction::refuse, nullptr, nullptr, {}, "--rate takes"},
      {{"--rate=nan", "s.wav"}, CommandLineAction::refuse, nullptr, nullptr, {}, "--rate takes"},
      {{"--rate"}, CommandLineAction::refuse, nullptr, nullptr, {}, "tap-recorder: --rate needs a value: a speed"},
      {{"s.wav", "--device"}, CommandLineAction::refuse, nullptr, nullptr, {}, "--device needs a value"},
      {{"--start", "1:60", "s.wav"},
       CommandLineAction::refuse,
       nullptr,
       nullptr,
       {},
       "tap-recorder: --start takes seconds or m:ss.sss (not '1:60')"},
      {{"--start=-1", "s.wav"}, CommandLineAction::refuse, nullptr, nullptr, {}, "--start takes"},
      {{"--start=:5", "s.wav"}, CommandLineAction::refuse, nullptr, nullptr, {}, "--start takes"},
      {{"--offset=20ms", "s.wav"}, CommandLineAction::refuse, nullptr, nullptr, {}, "--offset takes"},
      {{"--offset", "20"},
       CommandLineAction::refuse,
       nullptr,
       nullptr,
       {},
       "tap-recorder: --rate, --start, --offset and --device need a song to play"},
      {{"--calibrate", "--device=x"}, CommandLineAction::calibrate, nullptr, nullptr, {1.0, 0, 0, "x"}},
      {{"--calibrate", "s.wav"}, CommandLineAction::refuse, nullptr, "s.wav", {}, "--calibrate takes no song"},
      {{"--list-devices", "--rate=1"}, CommandLineAction::refuse, nullptr, nullptr, {}, "--list-devices takes no"},
      {{"--list-devices"}, CommandLineAction::list_devices, nullptr},
      {{"--list-devices", "--calibrate"}, CommandLineAction::refuse, "--calibrate"},
      // --holds takes its value after '=' only: a song may follow it.
      {{"--holds"}, CommandLineAction::record, nullptr, nullptr, {}, "", 250},
      {{"--holds", "s.wav"}, CommandLineAction::record, nullptr, "s.wav", {}, "", 250},
      {{"s.wav", "--holds=2000"}, CommandLineAction::record, nullptr, "s.wav", {}, "", 2000},
      {{"--holds=49"},
       CommandLineAction::refuse,
       nullptr,
       nullptr,
       {},
       "tap-recorder: --holds takes milliseconds from 50 to 2000 (not '49')"},
      {{"--holds="}, CommandLineAction::refuse, nullptr, nullptr, {}, "--holds takes"},
      {{"--holdz"}, CommandLineAction::refuse, "--holdz", nullptr, {}, "(did you mean '--holds'?)"},
      {{"--calibrate", "--holds"}, CommandLineAction::refuse, nullptr, nullptr, {}, "--calibrate takes no song"},
      {{"--merge", "--lanes=space,left", "s.wav"}, RECORD, nullptr, "s.wav", {}, "", 0, 0b10001, {}, true},
      {{"--bpm", "128.5@250", "--snap=12"}, RECORD, nullptr, nullptr, {}, "", 0, 31, {128.5, 250, 12}},
      {{"--merge"}, REFUSE, nullptr, nullptr, {}, "tap-recorder: --merge needs a song: a take goes into the chart"},
      {{"--calibrate", "--merge"}, REFUSE, nullptr, nullptr, {}, "--calibrate takes no song"},
      {{"--list-devices", "--bpm=120", "--snap=4"}, REFUSE, nullptr, nullptr, {}, "--list-devices takes no"},
      {{"--lanes", "left,middle", "s.wav"}, REFUSE, nullptr, nullptr, {}, "--lanes takes lane names from left"},
      {{"--lanes=left,", "s.wav"}, REFUSE, nullptr, nullptr, {}, "--lanes takes"},
      {{"--bpm=120"}, REFUSE, nullptr, nullptr, {}, "tap-recorder: --bpm needs --snap N"},
      {{"--snap=4"}, REFUSE, nullptr, nullptr, {}, "tap-recorder: --snap needs --bpm"},
      {{"--bpm=1000", "--snap=4"}, REFUSE, nullptr, nullptr, {}, "--bpm takes beats a minute from 1 to 999"},
      {{"--bpm=0.5", "--snap=4"}, REFUSE, nullptr, nullptr, {}, "--bpm takes"},
      {{"--bpm=120@-5", "--snap=4"}, REFUSE, nullptr, nullptr, {}, "--bpm takes"},
      {{"--bpm=120@", "--snap=4"}, REFUSE, nullptr, nullptr, {}, "--bpm takes"},
      {{"--bpm=120", "--snap=5"}, REFUSE, nullptr, nullptr, {}, "--snap takes one of 1, 2, 3, 4, 6, 8"},
      {{"--review", "--rate=0.5", "s.wav"}, RECORD, nullptr, "s.wav", {0.5}, "", 0, 31, {}, false, true},
      {{"--review"}, REFUSE, nullptr, nullptr, {}, "tap-recorder: --review needs a song: the chart's notes"},
      {{"--review", "--lanes=left", "s.wav"}, REFUSE, nullptr, nullptr, {}, "--review plays the chart back and"},
      {{"--review", "--holds", "s.wav"}, REFUSE, nullptr, nullptr, {}, "records nothing: it takes no --merge"},
      {{"--revue"}, REFUSE, "--revue", nullptr, {}, "(did you mean '--review'?)"},
  };
  for (const Case& c : cases) {
    std::vector<const char*> argv = {"tap-recorder"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    CommandLine command = parse_command_line(static_cast<int>(argv.size()), argv.data());
    std::string shown = c.args.empty() ? "(none)" : c.args[0];
    EXPECT_EQ(command.action, c.action) << shown;
    EXPECT_STREQ(command.refused, c.refused) << shown;
    EXPECT_NE(std::string(command.problem).find(c.problem), std::string::npos) << shown << ": " << command.problem;
    if (c.action == CommandLineAction::refuse) continue;
    EXPECT_STREQ(command.song, c.song) << shown;
    EXPECT_EQ(command.options.rate, c.options.rate) << shown;
    EXPECT_EQ(command.options.start_seconds, c.options.start_seconds) << shown;
    EXPECT_EQ(command.options.offset_ms, c.options.offset_ms) << shown;
    EXPECT_STREQ(command.options.device, c.options.device) << shown;
    EXPECT_EQ(command.holds_ms, c.holds_ms) << shown;
    EXPECT_EQ(command.merge, c.merge) << shown;
    EXPECT_EQ(command.review, c.review) << shown;
    EXPECT_EQ(command.lanes, c.lanes) << shown;
    EXPECT_EQ(command.grid.bpm, c.grid.bpm) << shown;
    EXPECT_EQ(command.grid.first_beat_ms, c.grid.first_beat_ms) << shown;
    if (c.grid.bpm > 0) {
      EXPECT_EQ(command.grid.division, c.grid.division) << shown;
    }
  }
}

TEST(CommandLine, AnswersOnTheRightStreamWithItsExitCode) {
  struct Case {
    CommandLine command;
    int exit_code;
    const char* first_line;  // of standard output, or the one error line
    bool on_standard_error;
  };
  const Case cases[] = {
      {command_line({"--help"}), 0, "Usage: tap-recorder [OPTION]... [SONG]", false},
      {command_line({"--version"}), 0, "tap-recorder " TAP_RECORDER_VERSION, false},
      {command_line({"--verbose"}), 64, "tap-recorder: unknown argument '--verbose' (try 'tap-recorder --help')", true},
      {command_line({"--verison"}), 64, "tap-recorder: unknown option '--verison' (did you mean '--version'?)", true},
      {command_line({"--rate=3", "s.wav"}), 64, "tap-recorder: --rate takes a speed from 0.25 to 2 (not '3')", true},
  };
  for (const Case& c : cases) {
    CapturedConsole console;
    EXPECT_EQ(answer_command_line(c.command, console), c.exit_code) << c.first_line;
    const std::vector<std::string>& lines = c.on_standard_error ? console.errors : console.lines;
    ASSERT_FALSE(lines.empty()) << c.first_line;
    EXPECT_EQ(lines[0], c.first_line);
    EXPECT_EQ((c.on_standard_error ? console.lines : console.errors).size(), 0u) << c.first_line;
    if (c.command.action != CommandLineAction::help) {
      EXPECT_EQ(lines.size(), 1u) << c.first_line;
    }
  }
}

// The codes a text lists, in its own notation: each match's first group.
std::set<std::string> codes_in(const std::string& text, const std::string& pattern) {
  std::set<std::string> codes;
  std::regex code(pattern);
  for (auto at = std::sregex_iterator(text.begin(), text.end(), code); at != std::sregex_iterator(); ++at)
    codes.insert((*at)[1].str());
  return codes;
}

std::string section(const std::string& text, const std::string& from, const std::string& to) {
  std::size_t begin = text.find(from);
  if (begin == std::string::npos) return "";
  std::size_t end = text.find(to, begin + from.size());
  return text.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

// The usage, the manual page and the README list the codes the program
// ends with, each of them and no other.
TEST(CommandLine, UsageManualAndReadmeListTheExitCodes) {
  std::set<std::string> wanted = {"128"};
  for (const ExitCodeMeaning& exit : EXIT_CODE_MEANINGS) wanted.insert(std::to_string(exit.code));
  CapturedConsole console;
  answer_command_line(command_line({"--help"}), console);
  std::string usage;
  for (const std::string& line : console.lines) usage += line + "\n";
  EXPECT_EQ(codes_in(section(usage, "Exit codes:", "\n\n"), "\n  ([0-9]+)[ +]"), wanted);
#ifdef TAP_RECORDER_SOURCE_DIR
  std::string manual = testing::read_file(TAP_RECORDER_SOURCE_DIR "/man/tap-recorder.1");
  EXPECT_EQ(codes_in(section(manual, ".SH EXIT STATUS", "\n.SH"), "\n[.]B ([0-9]+)"), wanted);
  std::string readme = testing::read_file(TAP_RECORDER_SOURCE_DIR "/README.md");
  EXPECT_EQ(codes_in(section(readme, "## Exit codes", "\n## "), "\n[|] ([0-9]+) "), wanted);
#endif
}

}  // namespace
}  // namespace tap
