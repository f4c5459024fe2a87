#include "survey_command/progress_line.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>

namespace vyr {

std::string formatDuration(uint64_t seconds) {
  char text[32];
  if (seconds < 3600) {
    std::snprintf(text, sizeof text, "%" PRIu64 ":%02" PRIu64, seconds / 60, seconds % 60);
  } else {
    std::snprintf(text, sizeof text, "%" PRIu64 ":%02" PRIu64 ":%02" PRIu64, seconds / 3600,
                  seconds / 60 % 60, seconds % 60);
  }
  return text;
}

std::string formatProgressLine(const ProgressCounts& counts, double unitsPerSecond) {
  const int32_t remaining = counts.total - counts.complete;
  std::string eta = "--:--";
  if (remaining <= 0) {
    eta = formatDuration(0);
  } else if (unitsPerSecond > 0) {
    eta = formatDuration(static_cast<uint64_t>(std::ceil(remaining / unitsPerSecond)));
  }
  int percent = 0;
  if (counts.total > 0) {
    percent = static_cast<int>(static_cast<int64_t>(counts.complete) * 100 / counts.total);
  }
  char text[256];
  std::snprintf(text, sizeof text,
                "%" PRId32 "/%" PRId32 " units (%d%%)  sent %" PRIu64 "  received %" PRIu64
                "  %.0f units/s  elapsed %s  ETA %s",
                counts.complete, counts.total, percent, counts.sent, counts.received,
                unitsPerSecond, formatDuration(counts.elapsedMs / 1000).c_str(), eta.c_str());
  return text;
}

std::string ProgressMeter::line(const ProgressCounts& counts) {
  readings_.push_back({counts.elapsedMs, counts.complete});
  // Keep one reading at or beyond the window's start, so the rate always spans the window.
  while (readings_.size() > 2 && counts.elapsedMs - readings_[1].elapsedMs >= RATE_WINDOW_MS) {
    readings_.pop_front();
  }
  const Reading& first = readings_.front();
  const uint32_t spanMs = counts.elapsedMs - first.elapsedMs;
  const double rate = spanMs > 0 ? (counts.complete - first.complete) * 1000.0 / spanMs : 0.0;
  return formatProgressLine(counts, rate > 0 ? rate : 0.0);
}

}  // namespace vyr
