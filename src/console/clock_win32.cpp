#include <windows.h>

#include "console/clock.h"

namespace tap {

// Milliseconds since the system started, 32 bits, wrapping after 49.7 days.
std::uint32_t platform_tick_ms() { return static_cast<std::uint32_t>(GetTickCount()); }

}  // namespace tap
