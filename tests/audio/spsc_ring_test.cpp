#include "audio/spsc_ring.h"

#include <gtest/gtest.h>

#include <thread>

#include "audio/song_position.h"

namespace tap {
namespace {

void pass_every_value(std::size_t capacity, std::size_t first_count) {
  constexpr std::uint32_t TOTAL = 2000000;
  SpscRing<std::uint32_t> ring(capacity, first_count);
  std::thread producer([&ring] {
    std::uint32_t next = 0, block[37];
    while (next < TOTAL) {
      std::size_t n = 0;
      for (; n < 37 && next + n < TOTAL; ++n) block[n] = next + static_cast<std::uint32_t>(n);
      std::size_t pushed = ring.push(block, n);
      next += static_cast<std::uint32_t>(pushed);
      if (pushed == 0) std::this_thread::yield();
    }
  });
  std::uint32_t expected = 0, block[53];
  bool in_order = true;
  while (expected < TOTAL) {
    std::size_t got = ring.pop(block, 53);
    for (std::size_t i = 0; i < got; ++i) in_order = in_order && block[i] == expected++;
    if (got == 0) std::this_thread::yield();
  }
  producer.join();
  EXPECT_TRUE(in_order) << capacity << " from " << first_count;
  EXPECT_EQ(ring.free_space(), ring.capacity()) << capacity << " from " << first_count;
  EXPECT_GE(ring.capacity(), capacity);
}

// Built alone under ThreadSanitizer too: two plain threads, as the decoder
// and the audio callback use the ring and the report board.
TEST(SpscRing, PassesEveryValueInOrderBetweenTwoThreads) {
  struct Case {
    std::size_t capacity, first_count;
  };
  // Capacities that are not a power of two, far smaller than the flow; the
  // counts wrapping at 2^64 midway.
  for (Case c : {Case{1000, 0}, Case{1000, SIZE_MAX - 700000}, Case{37, SIZE_MAX - 5}}) {
    pass_every_value(c.capacity, c.first_count);
  }
}

TEST(SpscRing, TheReportBoardNeverHandsOutATornReport) {
  ReportBoard board;
  std::atomic<bool> done{false};
  std::thread callback([&] {
    for (std::int64_t i = 1; i <= 200000; ++i) board.publish({static_cast<double>(i), i});
    done = true;
  });
  OutputReport out[ReportBoard::SIZE];
  bool whole = true;
  while (!done) {
    int count = board.read(out);
    for (int i = 0; i < count; ++i) {
      whole = whole && out[i].dac_time == static_cast<double>(out[i].frame);
      if (i > 0) whole = whole && out[i].frame == out[i - 1].frame + 1;
    }
  }
  callback.join();
  EXPECT_TRUE(whole);
}

}  // namespace
}  // namespace tap
