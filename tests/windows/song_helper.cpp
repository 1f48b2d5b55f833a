// The Linux side of the Windows song test: writes the click songs, and
// listens to what the PulseAudio null sink plays (through parec on its
// monitor) to tap in Wine's console right after each click is heard.
//   song_helper write DIRECTORY
//       clicks.wav, .flac, .ogg, .mp3: 44.1 kHz stereo, a click at 1, 2, 3
//       and 4 s, each starting at full height; centre.wav the same in 5.1,
//       the clicks in the centre alone; clicks.opus (48 kHz), to refuse
//   song_helper listen TMUX_SOCKET DELAY_MS CLICKS < s16le stereo 48 kHz
//       for each of CLICKS clicks, sends SPACE to the tmux pane DELAY_MS
//       after the click reached the monitor; says when each was heard
// Exits 1 when a click does not come within 10 s.

#include <poll.h>
#include <sndfile.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr int SONG_RATE = 44100;
constexpr int CLICKS = 4;
constexpr int MONITOR_RATE = 48000;

double now_seconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

int write_songs(const std::string& directory) {
  std::vector<float> song(static_cast<std::size_t>(SONG_RATE * (CLICKS + 2)) * 2, 0.0f);
  for (int k = 1; k <= CLICKS; ++k) {
    for (int i = 0; i < SONG_RATE / 50; ++i) {
      double t = static_cast<double>(i) / SONG_RATE;
      auto v = static_cast<float>(0.8 * std::cos(2 * M_PI * 1000 * t) * std::exp(-t * 200));
      song[static_cast<std::size_t>(k * SONG_RATE + i) * 2] = v;
      song[static_cast<std::size_t>(k * SONG_RATE + i) * 2 + 1] = v;
    }
  }
  // 5.1 with the clicks in the centre channel alone.
  std::vector<float> surround(song.size() * 3, 0.0f);
  for (std::size_t i = 0; i < song.size() / 2; ++i) surround[i * 6 + 2] = song[i * 2];
  const struct {
    const char* name;
    int format;
    int channels;
  } files[] = {
      {"clicks.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2}, {"clicks.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 2},
      {"clicks.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 2}, {"clicks.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 2},
      {"clicks.opus", SF_FORMAT_OGG | SF_FORMAT_OPUS, 2},  {"centre.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 6}};
  for (const auto& file : files) {
    SF_INFO info{};
    // Opus takes 48 kHz only; the Windows build refuses it unplayed.
    info.samplerate = (file.format & SF_FORMAT_SUBMASK) == SF_FORMAT_OPUS ? 48000 : SONG_RATE;
    info.channels = file.channels;
    info.format = file.format;
    std::string path = directory + "/" + file.name;
    SNDFILE* out = sf_open(path.c_str(), SFM_WRITE, &info);
    const std::vector<float>& frames = file.channels == 6 ? surround : song;
    if (out == nullptr || sf_writef_float(out, frames.data(), static_cast<sf_count_t>(song.size() / 2)) <= 0) {
      std::fprintf(stderr, "cannot write %s: %s\n", path.c_str(), sf_strerror(out));
      return 1;
    }
    sf_close(out);
  }
  return 0;
}

void tap(const char* socket) {
  const char* argv[] = {"tmux", "-L", socket, "send-keys", "Space", nullptr};
  pid_t pid = 0;
  if (posix_spawnp(&pid, "tmux", nullptr, nullptr, const_cast<char**>(argv), environ) == 0) waitpid(pid, nullptr, 0);
}

int listen(const char* socket, double delay_ms, int clicks) {
  std::vector<short> chunk(4096);
  long long at = 0;                     // monitor frames read so far
  long long last_loud = -MONITOR_RATE;  // a click rings for some ms
  int heard = 0;
  double first = 0;
  while (heard < clicks) {
    pollfd in{STDIN_FILENO, POLLIN, 0};
    if (poll(&in, 1, 10000) <= 0) {
      std::fprintf(stderr, "song_helper: the monitor heard %d clicks of %d\n", heard, clicks);
      return 1;
    }
    ssize_t n = read(STDIN_FILENO, chunk.data(), chunk.size() * sizeof(short));
    double arrived = now_seconds();
    if (n <= 0) return 1;
    long long frames = n / 4;
    for (long long i = 0; i < frames; ++i) {
      if (std::abs(chunk[static_cast<std::size_t>(2 * i)]) < 8000) continue;
      bool onset = at + i - last_loud > MONITOR_RATE / 2;
      last_loud = at + i;
      if (!onset) continue;
      // When the click's first sample reached the monitor: the read's last
      // sample arrived now.
      double when = arrived - static_cast<double>(frames - i) / MONITOR_RATE;
      if (heard == 0) first = when;
      double until = when + delay_ms / 1000.0;
      while (now_seconds() < until) {
      }
      double sent = now_seconds();
      tap(socket);
      ++heard;
      std::fprintf(stderr, "click %d heard at +%.1f ms, tapped %.1f ms after it (in %.1f ms)\n", heard,
                   (when - first) * 1000, (sent - when) * 1000, (now_seconds() - sent) * 1000);
    }
    at += frames;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string command = argc > 1 ? argv[1] : "";
  if (command == "write" && argc == 3) return write_songs(argv[2]);
  if (command == "listen" && argc == 5) return listen(argv[2], std::atof(argv[3]), std::atoi(argv[4]));
  std::fprintf(stderr, "usage: song_helper write DIRECTORY | listen TMUX_SOCKET DELAY_MS CLICKS\n");
  return 2;
}
