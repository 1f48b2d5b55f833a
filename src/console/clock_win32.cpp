#include <windows.h>

#include "console/clock.h"

namespace tap {
namespace {

// The performance counter never goes back and its frequency is fixed at
// boot; both calls are cheap and never fail on Windows XP and later.
std::uint64_t performance_counter() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<std::uint64_t>(now.QuadPart);
}

}  // namespace

TickCounter platform_counter() {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return TickCounter{performance_counter, static_cast<std::uint64_t>(frequency.QuadPart)};
}

}  // namespace tap
