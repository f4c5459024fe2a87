#pragma once
// The progress line of vyr-survey: units complete of all, datagrams sent and received, the rate
// at which units complete, the time so far and the time still to go.

#include <cstdint>
#include <deque>
#include <string>

namespace vyr {

struct ProgressCounts {
  int32_t complete = 0;
  int32_t total = 0;
  uint64_t sent = 0;
  uint64_t received = 0;
  uint32_t elapsedMs = 0;
};

// "M:SS" under an hour, "H:MM:SS" from there on; whole seconds, cut.
std::string formatDuration(uint64_t seconds);

// The line, for example
//   "41250/100000 units (41%)  sent 123456  received 120001  8250 units/s  elapsed 0:05  ETA 0:07"
// with `unitsPerSecond` as the rate. The ETA reads "--:--" while the rate is zero, "0:00" once
// every unit is complete.
std::string formatProgressLine(const ProgressCounts& counts, double unitsPerSecond);

// Turns readings taken over a survey into lines. The rate is taken over the last few seconds, so
// that the slow tail of a survey (units that must be asked again) shows in the ETA.
class ProgressMeter {
 public:
  static constexpr uint32_t RATE_WINDOW_MS = 5000;

  // Adds a reading (elapsed times never go back) and returns its line.
  std::string line(const ProgressCounts& counts);

 private:
  struct Reading {
    uint32_t elapsedMs;
    int32_t complete;
  };
  std::deque<Reading> readings_;
};

}  // namespace vyr
