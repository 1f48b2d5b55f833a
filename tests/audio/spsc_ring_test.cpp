#include "audio/spsc_ring.h"

#include <gtest/gtest.h>

#include <thread>

#include "audio/song_position.h"

namespace tap {
namespace {

// Built alone under ThreadSanitizer too: two plain threads, as the decoder
// and the audio callback use the ring and the report board.
TEST(SpscRing, PassesEveryValueInOrderBetweenTwoThreads) {
  constexpr std::uint32_t TOTAL = 2000000;
  SpscRing<std::uint32_t> ring(1000);  // not a power of two, and far smaller than the flow
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
  EXPECT_TRUE(in_order);
  EXPECT_EQ(ring.free_space(), ring.capacity());
}

TEST(SpscRing, TheReportBoardNeverHandsOutATornReport) {
  ReportBoard board;
  std::atomic<bool> done{false};
  std::thread callback([&] {
    for (std::int64_t i = 1; i <= 200000; ++i) board.publish({static_cast<double>(i), -static_cast<double>(i), i});
    done = true;
  });
  OutputReport out[ReportBoard::SIZE];
  bool whole = true;
  while (!done) {
    int count = board.read(out);
    for (int i = 0; i < count; ++i) {
      whole = whole && out[i].dac_time == static_cast<double>(out[i].frame) &&
              out[i].clock_minus_steady == -static_cast<double>(out[i].frame);
      if (i > 0) whole = whole && out[i].frame == out[i - 1].frame + 1;
    }
  }
  callback.join();
  EXPECT_TRUE(whole);
}

}  // namespace
}  // namespace tap
