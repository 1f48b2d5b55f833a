#include "console/clock.h"

namespace tap {
namespace {
MillisecondClock program_clock;
}  // namespace

void start_clock() { program_clock.start(); }
std::uint32_t elapsed_ms() { return program_clock.elapsed(); }

}  // namespace tap
