#pragma once
// vyr-survey's JSON lines: one object per unit, then a summary of the survey.

#include <cstdint>
#include <string>
#include <string_view>

#include "core/latin1.h"
#include "core/survey_driver.h"

namespace vyr {

// The unit of row `index` as one line of JSON (no line feed): {"type": "unit", "index", the
// record's fields by name ("address" dotted, numbers as stored), "finished", and "report": its
// columns by the report's header names, as the report prints them, an absent column empty}.
std::string unitJsonLine(const DeviceRecord& record, int32_t index);

struct SurveySummary {
  std::string list;
  std::string report;
  std::string progress;
  const char* outcome = "";  // "complete", "timed out" or "stopped"
  const char* signal = nullptr;  // the signal's name when stopped by one
  int32_t units = 0;
  int32_t complete = 0;
  uint64_t sent = 0;
  uint64_t received = 0;
  uint32_t elapsedMs = 0;
  bool saved = false;
  int exitStatus = 0;
};

// The summary as one line of JSON (no line feed), {"type": "summary", ...} with the fields above.
std::string summaryJsonLine(const SurveySummary& summary);

}  // namespace vyr
