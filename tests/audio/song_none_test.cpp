#include <gtest/gtest.h>

#include "audio/song_player.h"
#include "test_support.h"

namespace tap {
namespace {

// A build without the audio libraries (the Windows .exe for now) says so,
// and takes no song.
TEST(SongWithoutItsLibraries, SaysThisBuildPlaysNoSongs) {
  if (song_support_built()) GTEST_SKIP() << "this build plays songs";
  const std::string why = "this build of tap-recorder plays no songs (built without its audio libraries)";
  char reason[200];
  EXPECT_EQ(open_song_file("song.ogg", reason, sizeof reason), nullptr);
  EXPECT_EQ(reason, why);
  SongError error;
  EXPECT_EQ(open_song_player(nullptr, SongOptions{}, error), nullptr);
  EXPECT_EQ(error.exit_code, EXIT_NO_AUDIO_OUTPUT);
  EXPECT_EQ(std::string(error.text), "tap-recorder: " + why);
  testing::CapturedConsole console;
  EXPECT_EQ(list_output_devices(console), EXIT_NO_AUDIO_OUTPUT);
  EXPECT_EQ(console.errors, std::vector<std::string>{"tap-recorder: " + why});
}

}  // namespace
}  // namespace tap
