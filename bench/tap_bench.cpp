// Measures the built tap-recorder from outside, through a pseudo-terminal as
// a terminal emulator feeds it, next to the floor (a minimal raw-mode
// reader) and a curses reader run in the same harness. Prints every figure;
// each is the median over several rounds.
//
//   tap_bench [--rounds N] [--taps N] [--no-exhaustive]

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
#include <sstream>
#include <string>
#include <vector>

#include "e2e/pty_session.h"
#include "test_support.h"

namespace {

using tap::testing::PtySession;
using tap::testing::TempDir;
using Clock = std::chrono::steady_clock;

constexpr int PROGRAM_CPU = 1;  // the harness spins on CPU 0
const char* const OPENING_END = "終了時にENTERで出力します";
const char* const STARTED = "計測開始！";

struct Reader {
  const char* name;
  std::string path;
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
  auto pty = std::make_unique<PtySession>(reader.path, pinned(dir));
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
  auto t0 = Clock::now();
  PtySession pty(reader.path, pinned(dir));
  if (!pty.expect("ENTER")) return -1;
  return ms_since(t0);
}

// ---- accuracy --------------------------------------------------------------

std::vector<int> lane_frames(const std::string& chart, const std::string& label) {
  std::vector<int> frames;
  std::size_t at = chart.find(label);
  if (at == std::string::npos) return frames;
  std::size_t end = chart.find("\r\n", at);
  std::stringstream values(chart.substr(at + label.size(), end - at - label.size()));
  std::string value;
  while (std::getline(values, value, ',')) frames.push_back(std::stoi(value));
  return frames;
}

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
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--rounds" && i + 1 < argc)
      rounds = std::atoi(argv[++i]);
    else if (arg == "--taps" && i + 1 < argc)
      taps = std::atoi(argv[++i]);
    else if (arg == "--no-exhaustive")
      exhaustive = false;
  }
  pin_harness(0);
  signal(SIGPIPE, SIG_IGN);
  const std::vector<Reader> readers = {
      {"tap-recorder", TAP_RECORDER_BINARY}, {"floor", FLOOR_READER_BINARY}, {"curses", CURSES_READER_BINARY}};

  std::printf("tap_bench: %d rounds; latency over %d taps a round (Left and Space in turn)\n", rounds, taps);
  std::printf("harness on CPU 0 spinning on the pty master, programs on CPU %d\n\n", PROGRAM_CPU);

  std::vector<std::vector<double>> p50(3), p99(3), worst(3), startup(3);
  for (int r = 0; r < rounds; ++r) {
    std::vector<Latency> round = latency_round(readers, taps);
    for (int k = 0; k < 3; ++k) {
      p50[k].push_back(round[k].p50_us);
      p99[k].push_back(round[k].p99_us);
      worst[k].push_back(round[k].max_us);
    }
    for (int s = 0; s < 4; ++s) {
      for (int j = 0; j < 3; ++j) {
        int k = (s + j) % 3;
        startup[k].push_back(startup_round(readers[k]));
      }
    }
  }
  std::printf(
      "latency, key written -> first byte of the answer (median of %d rounds; the three readers\n"
      "run side by side and take their taps in turn)\n",
      rounds);
  std::printf("  %-14s %10s %10s %10s %14s\n", "reader", "p50 us", "p99 us", "max us", "start-up ms");
  for (int k = 0; k < 3; ++k) {
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
  std::printf("  start-up is fork of a stand-in shell, fork, exec and the program's own start to its first prompt\n\n");

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
