#include "chart/chart_text.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <utility>

namespace tap {

const char* const CHART_LABELS[CHART_LINES] = {
    "&left_data=",    "&down_data=",    "&up_data=",    "&right_data=",    "&space_data=",
    "&frzLeft_data=", "&frzDown_data=", "&frzUp_data=", "&frzRight_data=", "&frzSpace_data=",
    "&stop_data=",    "&speed_data=",   "&tuning=",
};
const char* const FIXED_VALUES[CHART_LINES - FRAME_LINES] = {"", "", "Name"};

namespace {

int label_of(const char* text, std::size_t length) {
  for (int which = 0; which < CHART_LINES; ++which) {
    std::size_t label = std::strlen(CHART_LABELS[which]);
    if (length >= label && std::memcmp(text, CHART_LABELS[which], label) == 0) return which;
  }
  return -1;
}

// A whole number a frame can be: an optional '-' and digits, within 32 bits.
bool parse_frame(const char* text, std::size_t length, std::int32_t& value) {
  std::size_t at = text[0] == '-' ? 1 : 0;
  if (length == at || length - at > 10) return false;
  long long magnitude = 0;
  for (; at < length; ++at) {
    if (text[at] < '0' || text[at] > '9') return false;
    magnitude = magnitude * 10 + (text[at] - '0');
  }
  long long signed_value = text[0] == '-' ? -magnitude : magnitude;
  if (signed_value < INT32_MIN || signed_value > INT32_MAX) return false;
  value = static_cast<std::int32_t>(signed_value);
  return true;
}

// The values after a frame line's label; false with `why` set.
bool parse_frames(const char* text, std::size_t length, std::vector<std::int32_t>& frames, char* why,
                  std::size_t why_size) {
  frames.clear();
  if (length == 0) return true;
  std::size_t begin = 0;
  for (;;) {
    const void* comma = std::memchr(text + begin, ',', length - begin);
    std::size_t end = comma != nullptr ? static_cast<std::size_t>(static_cast<const char*>(comma) - text) : length;
    std::int32_t value = 0;
    if (!parse_frame(text + begin, end - begin, value)) {
      std::snprintf(why, why_size, "'%.*s' is not a whole number a frame can be",
                    static_cast<int>(std::min<std::size_t>(end - begin, 24)), text + begin);
      return false;
    }
    frames.push_back(value);
    if (comma == nullptr) return true;
    begin = end + 1;
  }
}

}  // namespace

bool parse_chart(std::string bytes, ChartText& chart, char* why, std::size_t why_size) {
  chart = ChartText{};
  chart.bytes = std::move(bytes);
  const std::string& text = chart.bytes;
  if (text.size() > MAX_CHART_BYTES) {
    std::snprintf(why, why_size, "%zu bytes, more than a chart can be (%zu at most)", text.size(), MAX_CHART_BYTES);
    return false;
  }
  std::array<bool, FRAME_LINES> seen{};
  std::size_t begin = 0;
  for (int number = 1; begin < text.size(); ++number) {
    std::size_t next = text.find('\n', begin);
    std::size_t end = next == std::string::npos ? text.size() : next;
    std::size_t content_end = end > begin && text[end - 1] == '\r' ? end - 1 : end;
    char detail[120] = "";
    for (std::size_t at = begin; at < content_end && detail[0] == '\0'; ++at) {
      unsigned char byte = static_cast<unsigned char>(text[at]);
      if ((byte < 0x20 && byte != '\t') || byte == 0x7F)
        std::snprintf(detail, sizeof detail, "not text (byte 0x%02X at column %zu)", byte, at - begin + 1);
    }
    const char* line = text.data() + begin;
    std::size_t length = content_end - begin;
    int which = detail[0] == '\0' ? label_of(line, length) : -1;
    if (detail[0] == '\0' && length > 0 && std::memchr(line, '=', length) == nullptr)
      std::snprintf(detail, sizeof detail, "%s", "no '=' in it, as every line of a chart has");
    if (detail[0] == '\0' && which >= 0 && which < FRAME_LINES) {
      std::size_t label = std::strlen(CHART_LABELS[which]);
      std::vector<std::int32_t>& frames = chart.frames[static_cast<std::size_t>(which)];
      if (seen[static_cast<std::size_t>(which)])
        std::snprintf(detail, sizeof detail, "a second %s line", CHART_LABELS[which]);
      else if (parse_frames(line + label, length - label, frames, detail, sizeof detail) && which >= LANE_COUNT &&
               frames.size() % 2 != 0)
        std::snprintf(detail, sizeof detail, "%zu values, not pairs of a press and its release", frames.size());
      seen[static_cast<std::size_t>(which)] = true;
    }
    if (detail[0] != '\0') {
      if (which >= 0)
        std::snprintf(why, why_size, "line %d (%s): %s", number, CHART_LABELS[which], detail);
      else
        std::snprintf(why, why_size, "line %d: %s", number, detail);
      return false;
    }
    chart.lines.push_back({begin, content_end, which});
    begin = next == std::string::npos ? text.size() : next + 1;
  }
  return true;
}

bool read_chart(const char* path, ChartText& chart, char* why, std::size_t why_size) {
  std::error_code error;
  std::filesystem::file_status status = std::filesystem::status(path, error);
  if (status.type() == std::filesystem::file_type::not_found) {
    bool parsed = parse_chart({}, chart, why, why_size);
    chart.found = false;
    return parsed;
  }
  // Opening a FIFO would wait for a writer for ever.
  if (!error && status.type() != std::filesystem::file_type::regular) {
    std::snprintf(why, why_size, "%s", "not a regular file");
    return false;
  }
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) {
    std::snprintf(why, why_size, "cannot be read (%s)", std::strerror(errno));
    return false;
  }
  std::string bytes;
  char block[65536];
  std::size_t got = 0;
  while (bytes.size() <= MAX_CHART_BYTES && (got = std::fread(block, 1, sizeof block, file)) > 0)
    bytes.append(block, got);
  bool failed = std::ferror(file) != 0;
  int read_error = errno;
  std::fclose(file);
  if (failed) {
    std::snprintf(why, why_size, "cannot be read (%s)", std::strerror(read_error));
    return false;
  }
  return parse_chart(std::move(bytes), chart, why, why_size);
}

void merge_take(ChartText& chart, const LaneLists& take, unsigned lanes, std::int32_t from, std::int32_t to) {
  auto inside = [from, to](std::int32_t frame) { return frame >= from && frame <= to; };
  for (int lane = 0; lane < LANE_COUNT; ++lane) {
    if ((lanes & (1u << lane)) == 0) continue;
    std::vector<std::int32_t>& notes = chart.frames[static_cast<std::size_t>(lane)];
    notes.erase(std::remove_if(notes.begin(), notes.end(), inside), notes.end());
    const LaneList& taken = take.lanes[static_cast<std::size_t>(lane)];
    notes.insert(notes.end(), taken.frames.begin(), taken.frames.begin() + taken.count);
    std::stable_sort(notes.begin(), notes.end());

    std::vector<std::int32_t>& flat = chart.frames[static_cast<std::size_t>(LANE_COUNT + lane)];
    std::vector<std::pair<std::int32_t, std::int32_t>> holds;
    holds.reserve(flat.size() / 2 + static_cast<std::size_t>(take.holds.count));
    for (std::size_t k = 0; k + 1 < flat.size(); k += 2) {
      if (!inside(flat[k])) holds.emplace_back(flat[k], flat[k + 1]);
    }
    for (int k = 0; k < take.holds.count; ++k) {
      const Freeze& hold = take.holds.freezes[static_cast<std::size_t>(k)];
      if (static_cast<int>(hold.lane) == lane) holds.emplace_back(hold.start, hold.end);
    }
    std::stable_sort(holds.begin(), holds.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    flat.clear();
    for (const auto& hold : holds) {
      flat.push_back(hold.first);
      flat.push_back(hold.second);
    }
    chart.changed[static_cast<std::size_t>(lane)] = true;
    chart.changed[static_cast<std::size_t>(LANE_COUNT + lane)] = true;
  }
}

}  // namespace tap

namespace tap {

std::vector<ChartNote> chart_notes(const ChartText& chart) {
  std::vector<ChartNote> notes;
  for (int lane = 0; lane < LANE_COUNT; ++lane) {
    for (std::int32_t frame : chart.frames[static_cast<std::size_t>(lane)])
      notes.push_back({frame, static_cast<Lane>(lane), false});
    const std::vector<std::int32_t>& holds = chart.frames[static_cast<std::size_t>(LANE_COUNT + lane)];
    for (std::size_t i = 0; i + 1 < holds.size(); i += 2) {
      notes.push_back({holds[i], static_cast<Lane>(lane), false});
      notes.push_back({holds[i + 1], static_cast<Lane>(lane), true});
    }
  }
  std::stable_sort(notes.begin(), notes.end(), [](const ChartNote& a, const ChartNote& b) {
    return a.frame != b.frame ? a.frame < b.frame : a.lane < b.lane;
  });
  return notes;
}

}  // namespace tap
