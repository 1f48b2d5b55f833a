#include "console/termination.h"

#include <csignal>

namespace tap {
namespace {

volatile std::sig_atomic_t at_stake = 0;
volatile std::sig_atomic_t abandoned = 0;

}  // namespace

void set_taps_at_stake(bool value) { at_stake = value ? 1 : 0; }
bool taps_at_stake() { return at_stake != 0; }

void abandon_console_output() { abandoned = 1; }
bool console_output_abandoned() { return abandoned != 0; }

}  // namespace tap
