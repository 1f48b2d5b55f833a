#include "recorder/song_session.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <utility>

#include "audio/song_source.h"
#include "recorder/calibration.h"

namespace tap {
namespace {

constexpr int CLICK_TRACK_RATE = 48000;

// m:ss.sss, as --start takes it.
void format_time(double seconds, char* out, std::size_t size) {
  long ms = static_cast<long>(seconds * 1000 + 0.5);
  std::snprintf(out, size, "%ld:%02ld.%03ld", ms / 60000, ms / 1000 % 60, ms % 1000);
}

// A song dropped on the Windows program comes as its whole path, with
// backslashes.
const char* base_name(const char* path) {
  const char* name = path;
  for (const char* at = path; *at != '\0'; ++at) {
    if (*at == '/' || *at == '\\') name = at + 1;
  }
  return name;
}

// Where the song is no regular file, what it is: opening a FIFO would wait
// for a writer for ever, and a directory or a device is no song. nullptr
// for a file, or for a path the open itself will say is wrong.
const char* not_a_file(const char* path) {
  std::error_code error;
  std::filesystem::file_status status = std::filesystem::status(path, error);
  if (error) return nullptr;
  switch (status.type()) {
    case std::filesystem::file_type::regular: return nullptr;
    case std::filesystem::file_type::directory: return "it is a directory, not a song file";
    case std::filesystem::file_type::fifo: return "it is a named pipe (FIFO), not a song file";
    case std::filesystem::file_type::socket: return "it is a socket, not a song file";
    case std::filesystem::file_type::block:
    case std::filesystem::file_type::character: return "it is a device, not a song file";
    default: return "it is not a regular file";
  }
}

}  // namespace

std::unique_ptr<TimeSource> open_song_session(const CommandLine& command, Console& console, int& exit_code) {
  char line[400];
  std::unique_ptr<SongSource> source;
  SongOptions options = command.options;
  if (command.action == CommandLineAction::calibrate) {
    source = make_click_track(CLICK_TRACK_RATE, CALIBRATION_FIRST_CLICK_MS, CALIBRATION_BEAT_MS, CALIBRATION_BEATS);
  } else {
    char why[200];
    const char* kind = not_a_file(command.song);
    if (kind != nullptr) std::snprintf(why, sizeof why, "%s", kind);
    source = kind == nullptr ? open_song_file(command.song, why, sizeof why) : nullptr;
    if (source == nullptr) {
      std::snprintf(line, sizeof line, "tap-recorder: cannot play '%.150s': %s", command.song, why);
      console.error_line(line);
      exit_code = EXIT_SONG_UNREADABLE;
      return nullptr;
    }
  }
  double length = static_cast<double>(source->frames()) / source->sample_rate();
  int channels = source->channels();
  SongError error;
  std::unique_ptr<SongClock> player = open_song_player(std::move(source), options, error);
  if (player == nullptr) {
    console.error_line(error.text);
    exit_code = error.exit_code;
    return nullptr;
  }
  if (command.action == CommandLineAction::record) {
    char total[32], start[32];
    format_time(length, total, sizeof total);
    int used = std::snprintf(line, sizeof line, "Song: %.200s (%s)", base_name(command.song), total);
    if (channels > 2 && used > 0)
      used += std::snprintf(line + used, sizeof line - static_cast<std::size_t>(used), ", %d channels mixed down",
                            channels);
    if (options.start_seconds > 0 && used > 0) {
      format_time(options.start_seconds, start, sizeof start);
      used += std::snprintf(line + used, sizeof line - static_cast<std::size_t>(used), ", from %s", start);
    }
    if (options.rate != 1.0 && used > 0)
      used += std::snprintf(line + used, sizeof line - static_cast<std::size_t>(used), ", at %gx speed", options.rate);
    if (options.offset_ms != 0 && used > 0)
      std::snprintf(line + used, sizeof line - static_cast<std::size_t>(used), ", offset %g ms", options.offset_ms);
    console.write_line(line);
  }
  return std::make_unique<SongTime>(std::move(player), command.options.rate);
}

}  // namespace tap
