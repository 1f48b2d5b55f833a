// Compares to_frame with the native 80-bit long double computation for all
// 2^32 inputs and prints how long that took. Needs a compiler whose long
// double has a 64-bit significand (x86 with x87).

#include <cfloat>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <thread>
#include <vector>

#include "chart/lanes.h"
#include "test_support.h"

#if LDBL_MANT_DIG == 64
namespace {

struct Range {
  std::uint64_t first, last;  // [first, last)
  std::uint64_t mismatches = 0;
  std::int64_t first_mismatch = 0;
};

void check(Range& range) {
  for (std::uint64_t i = range.first; i < range.last; ++i) {
    std::int32_t x = static_cast<std::int32_t>(static_cast<std::uint32_t>(i));
    if (tap::to_frame(x) != tap::testing::extended_precision_frame(x)) {
      if (range.mismatches++ == 0) range.first_mismatch = x;
    }
  }
}

}  // namespace

int main() {
  unsigned threads = std::thread::hardware_concurrency();
  if (threads == 0) threads = 1;
  const std::uint64_t total = std::uint64_t{1} << 32;
  std::vector<Range> ranges(threads);
  for (unsigned t = 0; t < threads; ++t) {
    ranges[t].first = total * t / threads;
    ranges[t].last = total * (t + 1) / threads;
  }
  auto begin = std::chrono::steady_clock::now();
  std::vector<std::thread> workers;
  for (Range& r : ranges) workers.emplace_back(check, std::ref(r));
  for (std::thread& w : workers) w.join();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();

  std::uint64_t mismatches = 0;
  for (const Range& r : ranges) {
    if (r.mismatches != 0 && mismatches == 0) {
      std::printf("first mismatch at %" PRId64 "\n", r.first_mismatch);
    }
    mismatches += r.mismatches;
  }
  std::printf("to_frame: %" PRIu64 " inputs, %" PRIu64 " mismatches, %.1f s on %u threads\n", total, mismatches,
              seconds, threads);
  return mismatches == 0 ? 0 : 1;
}
#else
int main() {
  std::printf("to_frame: this compiler has no 80-bit long double to compare with\n");
  return 2;
}
#endif
