// Measures the built tap-recorder from outside, through a pseudo-terminal as
// a terminal emulator feeds it, next to the floor (a minimal raw-mode
// reader) and a curses reader run in the same harness. Prints every figure;
// each is the median over several rounds.
//
//   tap_bench [--rounds N] [--taps N] [--no-exhaustive] [--only ROUTE]
//
// --only runs the sync sweeps alone, through the routes whose name holds
// ROUTE ("PipeWire"), to repeat one server's rounds.

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "e2e/pty_session.h"
#include "test_support.h"
#ifdef TAP_BENCH_SONG
#include "audio/song_position.h"
#include "e2e/jack_support.h"
#ifdef TAP_BENCH_PULSE
#include "e2e/pulse_support.h"
#endif
#endif

namespace {

using tap::testing::lane_frames;
using tap::testing::PtySession;
using tap::testing::TempDir;
using Clock = std::chrono::steady_clock;

constexpr int PROGRAM_CPU = 1;  // the harness spins on CPU 0
const char* const OPENING_END = "終了時にENTERで出力します";
const char* const STARTED = "計測開始！";

struct Reader {
  const char* name;
  std::string path;
  std::vector<std::string> args = {};
  std::vector<std::string> env = {};
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  std::size_t n = values.size();
  if (n == 0) return 0;
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  std::size_t i = static_cast<std::size_t>(p * static_cast<double>(values.size()));
  return values[std::min(i, values.size() - 1)];
}

double ms_since(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

PtySession::Options pinned(const TempDir& dir) {
  PtySession::Options options;
  options.cwd = dir.path();
  options.cpu = PROGRAM_CPU;
  options.env.push_back("TERM=xterm-256color");
  return options;
}

// ---- latency ---------------------------------------------------------------

struct Latency {
  double p50_us, p99_us, max_us;
};

// Starts a reader and takes it past the start ENTER.
std::unique_ptr<PtySession> started(const Reader& reader, const TempDir& dir) {
  PtySession::Options options = pinned(dir);
  options.args = reader.args;
  options.env.insert(options.env.end(), reader.env.begin(), reader.env.end());
  auto pty = std::make_unique<PtySession>(reader.path, options);
  if (!pty->expect(OPENING_END)) {
    std::fprintf(stderr, "%s: no prompt\n", reader.name);
    std::exit(1);
  }
  pty->drain(20);
  pty->send("\r");
  if (!pty->expect(STARTED)) {
    std::fprintf(stderr, "%s: did not start\n", reader.name);
    std::exit(1);
  }
  pty->drain(20);
  return pty;
}

// All readers run at once and take their taps in turn, the order turning
// with every tap, so that whatever the machine does hits them alike.
std::vector<Latency> latency_round(const std::vector<Reader>& readers, int taps) {
  std::vector<TempDir> dirs(readers.size());
  std::vector<std::unique_ptr<PtySession>> sessions;
  for (std::size_t k = 0; k < readers.size(); ++k) sessions.push_back(started(readers[k], dirs[k]));
  std::vector<std::vector<double>> us(readers.size());
  for (int i = 0; i < taps; ++i) {
    for (std::size_t j = 0; j < readers.size(); ++j) {
      std::size_t k = (static_cast<std::size_t>(i) + j) % readers.size();
      long long ns = sessions[k]->time_answer(i % 2 ? " " : "\x1b[D");
      if (ns < 0) {
        std::fprintf(stderr, "%s: no answer to tap %d\n", readers[k].name, i);
        std::exit(1);
      }
      us[k].push_back(static_cast<double>(ns) / 1000.0);
    }
  }
  std::vector<Latency> result;
  for (const auto& values : us) {
    result.push_back(
        {percentile(values, 0.5), percentile(values, 0.99), *std::max_element(values.begin(), values.end())});
  }
  return result;
}

// ---- start-up --------------------------------------------------------------

double startup_round(const Reader& reader) {
  TempDir dir;
  PtySession::Options options = pinned(dir);
  options.args = reader.args;
  options.env.insert(options.env.end(), reader.env.begin(), reader.env.end());
  auto t0 = Clock::now();
  PtySession pty(reader.path, options);
  if (!pty.expect("ENTER")) return -1;
  return ms_since(t0);
}

// ---- accuracy --------------------------------------------------------------

struct Accuracy {
  int eligible = 0;
  int exact = 0;
  int off = 0;  // eligible taps in another frame
};

// Taps at scheduled times after the start ENTER; each recorded frame is
// compared with the frame of the moment its key was written.
Accuracy accuracy_round(int taps, unsigned seed) {
  struct Key {
    const char* bytes;
    const char* lane;
  };
  const Key keys[] = {{"\x1b[D", "&up_data="},
                      {"\x1b[B", "&left_data="},
                      {"\x1b[A", "&right_data="},
                      {"\x1b[C", "&down_data="},
                      {" ", "&space_data="}};
  TempDir dir;
  PtySession pty(std::string(TAP_RECORDER_BINARY), pinned(dir));
  if (!pty.expect(OPENING_END)) std::exit(1);
  pty.drain(20);
  std::mt19937 random(seed);
  std::vector<double> written_ms;
  auto enter_at = Clock::now();
  pty.send("\r");
  double next_ms = 150;
  for (int i = 0; i < taps; ++i) {
    next_ms += 20 + random() % 30;
    // Sleep most of the way, spin the rest: a spinning harness would hold
    // up the kernel's pty worker on its CPU and deliver keys late.
    double left = next_ms - ms_since(enter_at);
    if (left > 2) pty.drain(static_cast<int>(left - 1.5));
    while (ms_since(enter_at) < next_ms) sched_yield();
    double at = ms_since(enter_at);
    pty.send(keys[i % 5].bytes);
    written_ms.push_back(at);
  }
  pty.drain(30);
  pty.send("\r");
  if (!pty.expect("ENTERで終了します", 10000)) std::exit(1);
  std::string chart = tap::testing::read_file(dir.file("ved.txt"));

  Accuracy result;
  std::vector<int> next_in_lane(5, 0);
  std::vector<std::vector<int>> lanes;
  for (const Key& key : keys) lanes.push_back(lane_frames(chart, key.lane));
  const double frame_ms = 100.0 / 3.0;
  for (int i = 0; i < taps; ++i) {
    int k = i % 5;
    int recorded = lanes[k].at(next_in_lane[k]++);
    double t = written_ms[i];
    double into = std::fmod(t, frame_ms);
    if (std::min(into, frame_ms - into) < 2.0) continue;
    ++result.eligible;
    int truth = static_cast<int>(std::floor(t / frame_ms));
    if (recorded == truth) {
      ++result.exact;
    } else {
      ++result.off;
      if (std::getenv("TAP_BENCH_DEBUG"))
        std::printf("  off: tap %d at %.3f ms, frame %d, recorded %d\n", i, t, truth, recorded);
    }
  }
  return result;
}

#ifdef TAP_BENCH_SONG
// ---- sync with the song ----------------------------------------------------

// Where the song position the program gives a tap lies against the one the
// server played: each sweep sends taps from 4 ms before to 4 ms after frame
// edges (the first millisecond the chart counts in the next frame), a
// quarter millisecond apart, each when the server's own account of the song
// heard reaches its time. The edge between the taps put in the frame before
// and those put in the frame locates the error of that sweep to a quarter
// millisecond; positive is a tap read later in the song than it was heard.
// A round in which the server missed cycles says nothing of the program
// (the song slipped against that account): `steady` tells.
// Each server's listener hears what it played; `env` points the program at
// the server, and `args` may choose its device.
template <typename Heard>
std::vector<double> sync_round(const std::string& server, const std::vector<std::string>& env,
                               std::vector<std::string> args, const std::string& song, int sweeps, bool& steady) {
  using namespace tap::testing;
  TempDir dir;
  Heard listener(server);
  PtySession::Options options = pinned(dir);
  args.push_back(song);
  options.args = args;
  options.env.insert(options.env.end(), env.begin(), env.end());
  PtySession pty(std::string(TAP_RECORDER_BINARY), options);
  if (!pty.expect(OPENING_END)) std::exit(1);
  pty.drain(20);
  pty.send("\r");
  if (!listener.wait_for(1)) {
    std::fprintf(stderr, "sync: the server played no click\n");
    std::exit(1);
  }
  double zero = listener.heard_ms(0);
  struct Tap {
    int frame;
    double x;  // ms after the frame's edge it was sent at
  };
  std::vector<Tap> taps;
  int frame = 10;  // frames 3k+1: their edges are no multiple of 100 ms
  for (int s = 0; s < sweeps; ++s) {
    for (int step = -16; step <= 16; ++step, frame += 3) {
      double edge = std::ceil(frame * 100.0 / 3.0);
      double target = edge + step * 0.25;
      sleep_until(zero + target - 3);
      double heard = listener.ms_since_first_heard();
      while (heard < target) heard = listener.ms_since_first_heard();
      pty.send(" ");
      taps.push_back({frame, heard - edge});
    }
  }
  pty.send("\r");
  if (!pty.expect("ENTERで終了します", 10000)) std::exit(1);
  std::vector<int> recorded = lane_frames(read_file(dir.file("ved.txt")), "&space_data=");
  std::vector<double> errors;
  for (int s = 0; s < sweeps; ++s) {
    double lower = -1e9, upper = 1e9;  // bounds on the error
    for (int i = s * 33; i < (s + 1) * 33 && i < static_cast<int>(recorded.size()); ++i) {
      if (recorded[static_cast<std::size_t>(i)] >= taps[static_cast<std::size_t>(i)].frame)
        lower = std::max(lower, -taps[static_cast<std::size_t>(i)].x);
      else
        upper = std::min(upper, -taps[static_cast<std::size_t>(i)].x);
    }
    // A sweep that never crosses the edge says only that the error is
    // beyond its reach: kept as its bound, and told apart.
    if (upper == 1e9) lower = std::max(lower, 1000.0);
    if (lower == -1e9) upper = std::min(upper, -1000.0);
    errors.push_back(lower <= upper ? (lower + upper) / 2 : lower);
  }
  // A song that ran dry at the server (this machine's load) was heard
  // later than its clock: the program says so, and the round is left out.
  steady = listener.xruns() == 0 && pty.output().find("the song stopped") == std::string::npos;
  if (std::getenv("TAP_BENCH_DEBUG")) {
    std::printf("  sync round: xruns %d, errors", listener.xruns());
    for (double e : errors) std::printf(" %+.2f", e);
    std::printf("\n");
  }
  return errors;
}

// The mapping alone, against a fake stream whose output clock runs `ppm`
// away from the stream clock, over 3 minutes: worst error in ms, and what
// time zero plus the system clock would have given.
std::pair<double, double> mapping_error(double ppm) {
  const double rate = 48000, true_rate = rate * (1 + ppm * 1e-6);
  std::vector<tap::OutputReport> reports;
  double worst = 0, naive = 0;
  std::mt19937 random(3);
  for (std::int64_t output = 0; output < 48000 * 180; output += 256) {
    reports.push_back({static_cast<double>(output) / true_rate, output});
    double tap = reports.back().dac_time + static_cast<double>(random() % 256) / rate;
    int count = static_cast<int>(std::min<std::size_t>(reports.size(), tap::ReportBoard::SIZE));
    double frame = tap::output_frame_at(tap, &reports[reports.size() - static_cast<std::size_t>(count)], count, rate);
    worst = std::max(worst, std::fabs(frame - tap * true_rate) / rate * 1000);
    naive = std::max(naive, std::fabs(tap * rate - tap * true_rate) / rate * 1000);
  }
  return {worst, naive};
}
#endif

// ---- burst -----------------------------------------------------------------

struct Burst {
  double ms;
  double peak_rss_kib;
  int values;
};

long status_kib(pid_t pid, const char* field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
  }
  return -1;
}

Burst burst_round() {
  TempDir dir;
  PtySession pty(std::string(TAP_RECORDER_BINARY), pinned(dir));
  if (!pty.expect(OPENING_END)) std::exit(1);
  pty.drain(20);
  std::string taps = "\r";
  for (int i = 0; i < 9999; ++i) taps += i % 2 ? " " : "\x1b[C";
  auto t0 = Clock::now();
  pty.send(taps);
  // "That's All !!" comes once ved.txt is written and closed.
  if (!pty.expect("That's All !!", 60000)) std::exit(1);
  double ms = ms_since(t0);
  Burst burst{ms, static_cast<double>(status_kib(pty.pid(), "VmHWM:")), 0};
  std::string chart = tap::testing::read_file(dir.file("ved.txt"));
  burst.values = static_cast<int>(lane_frames(chart, "&down_data=").size() + lane_frames(chart, "&space_data=").size());
  return burst;
}

// cpu -1: every CPU again, for what runs after the measurements.
void pin_harness(int cpu) {
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  for (int c = 0; c < CPU_SETSIZE; ++c) {
    if (cpu < 0 || c == cpu) CPU_SET(c, &cpus);
  }
  sched_setaffinity(0, sizeof cpus, &cpus);
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 5, taps = 1000;
  bool exhaustive = true;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--rounds" && i + 1 < argc)
      rounds = std::atoi(argv[++i]);
    else if (arg == "--taps" && i + 1 < argc)
      taps = std::atoi(argv[++i]);
    else if (arg == "--no-exhaustive")
      exhaustive = false;
    else if (arg == "--only" && i + 1 < argc)
      only = argv[++i];
  }
  pin_harness(0);
  signal(SIGPIPE, SIG_IGN);
  std::vector<Reader> readers = {
      {"tap-recorder", TAP_RECORDER_BINARY}, {"floor", FLOOR_READER_BINARY}, {"curses", CURSES_READER_BINARY}};
#ifdef TAP_BENCH_SONG
  // The song's server and songs: a long one, so it plays through every
  // latency round, and a short one for the sync.
  tap::testing::JackServer server;
  TempDir songs;
  std::string long_song = songs.file("long.ogg"), clicks = songs.file("clicks.wav");
  if (!server.ready() || !tap::testing::write_click_song(long_song, SF_FORMAT_OGG | SF_FORMAT_VORBIS, 180, 0.02) ||
      !tap::testing::write_click_song(clicks, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 60)) {
    std::fprintf(stderr, "no JACK server or no songs for the song's figures\n");
    return 1;
  }
  readers.push_back({"with a song", TAP_RECORDER_BINARY, {long_song}, {"JACK_DEFAULT_SERVER=" + server.name()}});
#endif
  const std::size_t kinds = readers.size();

  std::printf("tap_bench: %d rounds; latency over %d taps a round (Left and Space in turn)\n", rounds, taps);
  std::printf("harness on CPU 0 spinning on the pty master, programs on CPU %d\n\n", PROGRAM_CPU);

  std::vector<std::vector<double>> p50(kinds), p99(kinds), worst(kinds), startup(kinds);
  // --only: the sync sweeps alone.
  if (only.empty()) {
    for (int r = 0; r < rounds; ++r) {
      std::vector<Latency> round = latency_round(readers, taps);
      for (std::size_t k = 0; k < kinds; ++k) {
        p50[k].push_back(round[k].p50_us);
        p99[k].push_back(round[k].p99_us);
        worst[k].push_back(round[k].max_us);
      }
      for (std::size_t s = 0; s < 4; ++s) {
        for (std::size_t j = 0; j < kinds; ++j) {
          std::size_t k = (s + j) % kinds;
          startup[k].push_back(startup_round(readers[k]));
        }
      }
    }
    std::printf(
        "latency, key written -> first byte of the answer (median of %d rounds; the readers\n"
        "run side by side and take their taps in turn)\n",
        rounds);
    std::printf("  %-14s %10s %10s %10s %14s\n", "reader", "p50 us", "p99 us", "max us", "start-up ms");
    for (std::size_t k = 0; k < kinds; ++k) {
      std::printf("  %-14s %10.1f %10.1f %10.1f %14.2f\n", readers[k].name, median(p50[k]), median(p99[k]),
                  median(worst[k]), median(startup[k]));
    }
    std::printf("  ratios: tap-recorder/floor  p50 %.2f  p99 %.2f\n", median(p50[0]) / median(p50[1]),
                median(p99[0]) / median(p99[1]));
    std::printf("          tap-recorder/curses p50 %.2f  p99 %.2f\n", median(p50[0]) / median(p50[2]),
                median(p99[0]) / median(p99[2]));
    // What no reader can beat here: the pty's own round trip, which the floor
    // is made of, against curses.
    std::printf("          floor/curses        p50 %.2f  p99 %.2f  (the least any reader can reach against curses)\n",
                median(p50[1]) / median(p50[2]), median(p99[1]) / median(p99[2]));
#ifdef TAP_BENCH_SONG
    std::printf("          with a song/floor   p50 %.2f  p99 %.2f  (tap-recorder playing a song through JACK)\n",
                median(p50[3]) / median(p50[1]), median(p99[3]) / median(p99[1]));
#endif
    std::printf(
        "  start-up is fork of a stand-in shell, fork, exec and the program's own start to its first prompt\n\n");
  }

#ifdef TAP_BENCH_SONG
  // The same sweeps through each server, side by side: JACK, PulseAudio
  // through the program's own output, and PulseAudio through ALSA's plugin
  // (the way the program reached it before it had its own).
  struct Route {
    const char* name;
    std::vector<double> (*round)(const std::string&, const std::vector<std::string>&, std::vector<std::string>,
                                 const std::string&, int, bool&);
    std::string server;
    std::vector<std::string> env, args;
  };
  std::vector<Route> routes = {
      {"JACK (dummy, 256-frame periods)",
       sync_round<tap::testing::Listener>,
       server.name(),
       {"JACK_DEFAULT_SERVER=" + server.name()},
       {}},
  };
#ifdef TAP_BENCH_PULSE
  tap::testing::PulseCardServer pulse;
  if (pulse.ready()) {
    std::vector<std::string> on_pulse = {"JACK_DEFAULT_SERVER=no-such-server", "PULSE_SERVER=" + pulse.name()};
    routes.push_back(
        {"PulseAudio (pipe sink, 21-42 ms)", sync_round<tap::testing::SinkReader>, pulse.name(), on_pulse, {}});
    routes.push_back({"PulseAudio via ALSA's plugin",
                      sync_round<tap::testing::SinkReader>,
                      pulse.name(),
                      on_pulse,
                      {"--device", "ALSA: pulse"}});
  }
  // PipeWire's PulseAudio server, where PipeWire is installed.
#ifdef TAP_RECORDER_PIPEWIRE
  std::unique_ptr<tap::testing::PipeWireServer> pipewire;
  if (std::system("command -v pipewire-pulse wireplumber dbus-run-session >/dev/null") == 0)
    pipewire = std::make_unique<tap::testing::PipeWireServer>();
  if (pipewire != nullptr && pipewire->ready()) {
    routes.push_back({"PipeWire (its PulseAudio server)",
                      sync_round<tap::testing::PipeWireListener>,
                      pipewire->name(),
                      {"JACK_DEFAULT_SERVER=no-such-server", "PULSE_SERVER=" + pipewire->name()},
                      {}});
  }
#endif
#endif
  std::printf(
      "sync with the song (48 kHz clicks): sweeps of 33 taps, each locating the error of a tap's song position\n"
      "against the server's own account of what it played to 0.25 ms (positive: read later than heard)\n");
  std::printf("  %-34s %8s %10s %12s %8s %10s\n", "through", "sweeps", "mean ms", "max |ms|", "beyond", "left out");
  for (const Route& route : routes) {
    if (std::string(route.name).find(only) == std::string::npos) continue;
    std::vector<double> sync;
    int unsteady = 0;
    for (int r = 0; r < rounds; ++r) {
      bool steady = false;
      for (int attempt = 0; attempt < 3 && !steady; ++attempt) {
        std::vector<double> round = route.round(route.server, route.env, route.args, clicks, 10, steady);
        if (steady) {
          sync.insert(sync.end(), round.begin(), round.end());
        } else {
          ++unsteady;
        }
      }
    }
    double sync_sum = 0, sync_max = 0;
    int beyond = 0;
    for (double e : sync) {
      if (std::fabs(e) >= 1000) {
        ++beyond;
        continue;
      }
      sync_sum += e;
      sync_max = std::max(sync_max, std::fabs(e));
    }
    std::printf("  %-34s %8zu %+10.2f %12.2f %8d %10d\n", route.name, sync.size(),
                sync_sum / std::max(1.0, static_cast<double>(sync.size()) - beyond), sync_max, beyond, unsteady);
  }
  std::printf(
      "  (beyond: sweeps that found the error past 4 ms; left out: rounds in which the server missed cycles, the\n"
      "  card ran dry or the listener fell behind, or the song ran dry at the server and the program said so)\n");
  if (!only.empty()) return 0;
  for (double ppm : {500.0, -500.0}) {
    std::pair<double, double> mapping = mapping_error(ppm);
    std::printf(
        "mapping against a fake stream %+.0f ppm over 3 minutes: worst %.4f ms (time zero plus the system "
        "clock: %.1f ms)\n",
        ppm, mapping.first, mapping.second);
  }
  std::printf("\n");
#endif

  Accuracy total;
  for (int r = 0; r < rounds; ++r) {
    Accuracy a = accuracy_round(300, 1000u + static_cast<unsigned>(r));
    total.eligible += a.eligible;
    total.exact += a.exact;
    total.off += a.off;
  }
  std::printf("accuracy: %d of %d taps at least 2 ms from a frame edge in their exact frame (%.2f%%), %d off\n\n",
              total.exact, total.eligible, 100.0 * total.exact / std::max(1, total.eligible), total.off);

  std::vector<double> burst_ms, burst_rss;
  int values = 0;
  for (int r = 0; r < rounds; ++r) {
    Burst b = burst_round();
    burst_ms.push_back(b.ms);
    burst_rss.push_back(b.peak_rss_kib);
    values = b.values;
  }
  std::printf(
      "burst: 9999 taps written at once after the start ENTER, to ved.txt complete: %.1f ms (median), "
      "%d values in the chart; peak resident memory %.0f KiB (%.2f MiB)\n\n",
      median(burst_ms), values, median(burst_rss), median(burst_rss) / 1024.0);

  if (exhaustive) {
    std::fflush(stdout);
    pin_harness(-1);  // the check uses every core
    int status = std::system(TO_FRAME_EXHAUSTIVE_BINARY);
    if (status != 0) std::printf("to_frame exhaustive check failed (%d)\n", status);
  }
  return 0;
}
