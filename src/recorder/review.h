#pragma once

#include <cstdint>
#include <vector>

#include "audio/click_mixer.h"
#include "chart/chart_text.h"
#include "console/console_output.h"
#include "console/key_reader.h"
#include "recorder/time_source.h"

namespace tap {

/// The chart's notes as clicks for the song's stream: a pitch for each
/// lane, a hold heard at its press and at its release.
std::vector<SongClick> review_clicks(const std::vector<ChartNote>& notes);

/// The chart played back: the prompts, ENTER to start, each note's line
/// (the one its tap had) as the song reaches it, ENTER to stop, and the
/// closing prompt. Nothing is recorded and no file is written. Notes before
/// `from_ms` (where playback begins) are not shown. Returns the exit code.
int run_review(KeySource& keys, TimeSource& clock, Console& console, TextEncoding encoding,
               const std::vector<ChartNote>& notes, std::int32_t from_ms);

}  // namespace tap
