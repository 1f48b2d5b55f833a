#include "recorder/command_line.h"

#include <gtest/gtest.h>

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
  };
  const Case cases[] = {
      {{}, CommandLineAction::record, nullptr},
      {{"--help"}, CommandLineAction::help, nullptr},
      {{"-h"}, CommandLineAction::help, nullptr},
      {{"--version"}, CommandLineAction::version, nullptr},
      {{"--verbose"}, CommandLineAction::refuse, "--verbose"},
      {{""}, CommandLineAction::refuse, ""},
      {{"--help", "--version"}, CommandLineAction::refuse, "--version"},
      {{"--version", "x"}, CommandLineAction::refuse, "x"},
      {{"-x", "--help"}, CommandLineAction::refuse, "-x"},
      {{"song.ogg"}, CommandLineAction::record, nullptr, "song.ogg"},
      {{"a.ogg", "b.ogg"}, CommandLineAction::refuse, "b.ogg", "a.ogg"},
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
      {{"--rate"}, CommandLineAction::refuse, "--rate"},
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

// The usage names every exit code the program can end with.
TEST(CommandLine, UsageListsTheExitCodes) {
  CapturedConsole console;
  answer_command_line(command_line({"--help"}), console);
  std::string usage;
  for (const std::string& line : console.lines) usage += line + "\n";
  for (const char* code :
       {"\n  0 ", "\n  1 ", "\n  2 ", "\n  64 ", "\n  65 ", "\n  66 ", "\n  69 ", "\n  73 ", "\n  128+N "}) {
    EXPECT_NE(usage.find(code), std::string::npos) << code;
  }
}

}  // namespace
}  // namespace tap
