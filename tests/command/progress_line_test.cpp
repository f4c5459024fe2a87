// Catches a progress line that misreports: wrong or missing counts, a percentage or rate that
// rounds up to a state not reached, durations in the wrong units, an ETA shown when nothing can
// be estimated, or a rate that forgets the recent slow-down at a survey's tail.

#include "survey_command/progress_line.h"

#include <gtest/gtest.h>

#include <regex>

namespace vyr {
namespace {

ProgressCounts at(int32_t complete, int32_t total, uint32_t elapsedMs, uint64_t sent = 0,
                  uint64_t received = 0) {
  ProgressCounts counts;
  counts.complete = complete;
  counts.total = total;
  counts.elapsedMs = elapsedMs;
  counts.sent = sent;
  counts.received = received;
  return counts;
}

TEST(ProgressLineTest, DurationsAreMinutesAndSecondsThenHours) {
  const struct {
    uint64_t seconds;
    const char* text;
  } cases[] = {{0, "0:00"},     {9, "0:09"},        {59, "0:59"},         {60, "1:00"},
               {3599, "59:59"}, {3600, "1:00:00"},  {3661, "1:01:01"},    {86399, "23:59:59"},
               {360000, "100:00:00"}};
  for (const auto& c : cases) EXPECT_EQ(formatDuration(c.seconds), c.text) << c.seconds;
}

TEST(ProgressLineTest, TheLineShowsEachFigure) {
  const struct {
    ProgressCounts counts;
    double rate = 0;
    const char* line = "";
  } cases[] = {
      {at(41250, 100000, 5000, 123456, 120001), 8250,
       "41250/100000 units (41%)  sent 123456  received 120001  8250 units/s  elapsed 0:05  "
       "ETA 0:08"},
      // Nothing done yet: no rate, so no estimate.
      {at(0, 2000, 0), 0, "0/2000 units (0%)  sent 0  received 0  0 units/s  elapsed 0:00  ETA --:--"},
      // 99.99% is not 100%; a rate below one unit a second still gives an estimate.
      {at(9999, 10000, 61999, 7, 3), 0.5,
       "9999/10000 units (99%)  sent 7  received 3  0 units/s  elapsed 1:01  ETA 0:02"},
      {at(10000, 10000, 3723000, 40000, 40000), 0,
       "10000/10000 units (100%)  sent 40000  received 40000  0 units/s  elapsed 1:02:03  ETA 0:00"},
      // The ETA rounds up: 1 unit at 3 a second is still a second away.
      {at(1, 2, 1000), 3, "1/2 units (50%)  sent 0  received 0  3 units/s  elapsed 0:01  ETA 0:01"},
      {at(0, 1, 0, 18446744073709551615u, 1), 0,
       "0/1 units (0%)  sent 18446744073709551615  received 1  0 units/s  elapsed 0:00  ETA --:--"},
  };
  for (const auto& c : cases) EXPECT_EQ(formatProgressLine(c.counts, c.rate), c.line);
}

// The rate is that of the last five seconds, not of the whole survey: at a survey's tail, where
// units complete only as their requests are repeated, the ETA must grow.
TEST(ProgressLineTest, TheRateFollowsTheLastFiveSeconds) {
  ProgressMeter meter;
  const std::regex rate(R"(  (\d+) units/s  elapsed [0-9:]+  ETA (\S+)$)");
  auto rateOf = [&](const ProgressCounts& counts, std::string* eta = nullptr) {
    const std::string line = meter.line(counts);
    std::smatch match;
    EXPECT_TRUE(std::regex_search(line, match, rate)) << line;
    if (eta != nullptr) *eta = match[2];
    return std::stoi(match[1]);
  };
  EXPECT_EQ(rateOf(at(0, 20000, 0)), 0);
  // 1000 units a second for ten seconds, a reading every 250 ms.
  for (uint32_t ms = 250; ms <= 10000; ms += 250) {
    EXPECT_EQ(rateOf(at(static_cast<int32_t>(ms), 20000, ms)), 1000) << ms;
  }
  // Then 10 a second: five seconds on, only the slow readings are left in the window.
  std::string eta;
  int last = 0;
  int32_t complete = 0;
  for (uint32_t ms = 10250; ms <= 15000; ms += 250) {
    complete = static_cast<int32_t>(10000 + (ms - 10000) / 100);
    last = rateOf(at(complete, 20000, ms), &eta);
  }
  EXPECT_EQ(complete, 10050);
  EXPECT_EQ(last, 10);
  EXPECT_EQ(eta, "16:35") << "9950 units to go at 10 a second";
}

}  // namespace
}  // namespace vyr
