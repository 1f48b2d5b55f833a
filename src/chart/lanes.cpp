#include "chart/lanes.h"

#include <algorithm>
#include <cmath>

namespace tap {
namespace {

// 0.001 as a 64-bit significand times 2^-73 (x87 exponent 0x3FF5).
constexpr std::uint64_t MILLI_SIGNIFICAND = 0x83126E978D4FDF3Bull;
constexpr int MILLI_EXPONENT = -73;

struct U128 {
  std::uint64_t high;
  std::uint64_t low;
};

U128 multiply(std::uint64_t a, std::uint64_t b) {
  std::uint64_t a_lo = a & 0xFFFFFFFFu, a_hi = a >> 32;
  std::uint64_t b_lo = b & 0xFFFFFFFFu, b_hi = b >> 32;
  std::uint64_t lo_lo = a_lo * b_lo;
  std::uint64_t hi_lo = a_hi * b_lo;
  std::uint64_t lo_hi = a_lo * b_hi;
  std::uint64_t hi_hi = a_hi * b_hi;
  std::uint64_t middle = (lo_lo >> 32) + (hi_lo & 0xFFFFFFFFu) + (lo_hi & 0xFFFFFFFFu);
  U128 r;
  r.low = (middle << 32) | (lo_lo & 0xFFFFFFFFu);
  r.high = hi_hi + (hi_lo >> 32) + (lo_hi >> 32) + (middle >> 32);
  return r;
}

int bit_length(U128 v) {
  int n = 0;
  std::uint64_t top = v.high != 0 ? v.high : v.low;
  while (top != 0) {
    ++n;
    top >>= 1;
  }
  return v.high != 0 ? n + 64 : n;
}

// A value significand * 2^exponent with at most 64 significant bits.
struct Extended {
  std::uint64_t significand;
  int exponent;
};

// Rounds a 128-bit product to 64 significant bits, to nearest, ties to even.
Extended round_to_64_bits(U128 v, int exponent) {
  int shift = bit_length(v) - 64;
  if (shift <= 0) return {v.low, exponent};
  // shift is at most 64 here, since the products stay below 2^128.
  std::uint64_t kept = shift == 64 ? v.high : (v.low >> shift) | (v.high << (64 - shift));
  std::uint64_t half_bit, below_half;
  if (shift == 64) {
    half_bit = v.low >> 63;
    below_half = v.low & 0x7FFFFFFFFFFFFFFFull;
  } else {
    // shift < 64 and the high word is under 2^shift; the dropped bits are
    // the low `shift` bits of the low word.
    half_bit = (v.low >> (shift - 1)) & 1u;
    std::uint64_t mask = shift == 1 ? 0 : (~std::uint64_t{0} >> (65 - shift));
    below_half = v.low & mask;
  }
  exponent += shift;
  if (half_bit != 0 && (below_half != 0 || (kept & 1u) != 0)) {
    ++kept;
    if (kept == 0) {  // carried out of 64 bits
      kept = std::uint64_t{1} << 63;
      ++exponent;
    }
  }
  return {kept, exponent};
}

}  // namespace

Lane lane_of(KeyCode key) {
  switch (key) {
    case KEY_DOWN: return Lane::left;
    case KEY_RIGHT: return Lane::down;
    case KEY_LEFT: return Lane::up;
    case KEY_UP: return Lane::right;
    default: return Lane::space;
  }
}

std::int32_t to_frame(std::int32_t elapsed_ms) {
  // Round to nearest and truncation toward zero are both symmetric, so the
  // magnitude is converted and the sign put back.
  std::uint64_t magnitude = elapsed_ms < 0 ? 0u - static_cast<std::uint64_t>(static_cast<std::int64_t>(elapsed_ms))
                                           : static_cast<std::uint64_t>(elapsed_ms);
  Extended seconds = round_to_64_bits(multiply(magnitude, MILLI_SIGNIFICAND), MILLI_EXPONENT);
  Extended frames = round_to_64_bits(multiply(seconds.significand, 30), seconds.exponent);
  std::uint64_t whole = 0;
  if (frames.exponent >= 0) {
    whole = frames.significand << frames.exponent;  // beyond any 32-bit input; kept for completeness
  } else if (frames.exponent > -64) {
    whole = frames.significand >> -frames.exponent;
  }
  // The low 32 bits of the 64-bit integer.
  std::uint32_t low = static_cast<std::uint32_t>(elapsed_ms < 0 ? 0u - whole : whole);
  return static_cast<std::int32_t>(low);
}

const char* const LANE_NAMES[LANE_COUNT] = {"left", "down", "up", "right", "space"};

void build_lane_lists(const PressLog& log, LaneLists& lanes, const BeatGrid& grid) {
  for (LaneList& list : lanes.lanes) list.count = 0;
  lanes.holds.count = 0;
  lanes.moves = {};
  const std::uint32_t start = log.slots[0].timestamp;
  const double step = grid.bpm > 0 ? grid.step_ms() : 0;
  auto frame_of = [&](std::uint32_t timestamp, Lane lane) {
    auto elapsed = static_cast<std::int32_t>(static_cast<std::uint32_t>(timestamp - start));
    if (step == 0) return to_frame(elapsed);
    double snapped = grid.first_beat_ms + std::nearbyint((elapsed - grid.first_beat_ms) / step) * step;
    SnapMoves& moves = lanes.moves[static_cast<int>(lane)];
    double moved = std::fabs(snapped - elapsed);
    ++moves.count;
    moves.total_ms += moved;
    moves.largest_ms = std::max(moves.largest_ms, moved);
    if (moved >= step / 3) ++moves.far_off;
    // A grid time is rarely a whole millisecond: the frame is that of the
    // millisecond it falls in, as a tap's is (a hair under a whole one, from
    // rounding, counts as it).
    double ms = std::floor(snapped + 1e-6);
    return to_frame(static_cast<std::int32_t>(std::clamp(ms, -2147483648.0, 2147483647.0)));
  };
  for (int j = 1; j < log.count; ++j) {
    const PressSlot& slot = log.slots[j];
    Lane lane = lane_of(slot.key);
    if (slot.held) {
      lanes.holds.freezes[lanes.holds.count++] = {frame_of(slot.timestamp, lane), frame_of(slot.released, lane), lane};
      continue;
    }
    LaneList& list = lanes[lane];
    list.frames[list.count++] = frame_of(slot.timestamp, lane);
  }
}

}  // namespace tap
