#include "recorder/command_line.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace tap {
namespace {

using testing::CapturedConsole;

TEST(CommandLine, TakesHelpAndVersionAloneAndRefusesTheRest) {
  struct Case {
    std::vector<const char*> args;  // after the program's name
    CommandLineAction action;
    const char* refused;
  };
  const Case cases[] = {
      {{}, CommandLineAction::record, nullptr},
      {{"--help"}, CommandLineAction::help, nullptr},
      {{"-h"}, CommandLineAction::help, nullptr},
      {{"--version"}, CommandLineAction::version, nullptr},
      {{"--verbose"}, CommandLineAction::refuse, "--verbose"},
      {{"ved.txt"}, CommandLineAction::refuse, "ved.txt"},
      {{""}, CommandLineAction::refuse, ""},
      {{"--help", "--version"}, CommandLineAction::refuse, "--version"},
      {{"--version", "x"}, CommandLineAction::refuse, "x"},
      {{"-x", "--help"}, CommandLineAction::refuse, "-x"},
  };
  for (const Case& c : cases) {
    std::vector<const char*> argv = {"tap-recorder"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    CommandLine command = parse_command_line(static_cast<int>(argv.size()), argv.data());
    std::string shown = c.args.empty() ? "(none)" : c.args[0];
    EXPECT_EQ(command.action, c.action) << shown;
    EXPECT_STREQ(command.refused, c.refused) << shown;
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
      {{CommandLineAction::help, nullptr}, 0, "Usage: tap-recorder [--help | --version]", false},
      {{CommandLineAction::version, nullptr}, 0, "tap-recorder " TAP_RECORDER_VERSION, false},
      {{CommandLineAction::refuse, "--verbose"},
       64,
       "tap-recorder: unknown argument '--verbose' (try 'tap-recorder --help')",
       true},
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
  answer_command_line({CommandLineAction::help, nullptr}, console);
  std::string usage;
  for (const std::string& line : console.lines) usage += line + "\n";
  for (const char* code : {"\n  0 ", "\n  1 ", "\n  2 ", "\n  64 ", "\n  128+N "}) {
    EXPECT_NE(usage.find(code), std::string::npos) << code;
  }
}

}  // namespace
}  // namespace tap
