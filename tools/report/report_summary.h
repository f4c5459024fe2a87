#pragma once
// What one section of a report says the fleet runs: units counted by application, by application
// and version, and by BIOS version, and the units that did not answer.

#include <cstdint>
#include <string>
#include <vector>

#include "report/report_output.h"
#include "report/report_reader.h"

namespace vyr {

// One line of a count: the application and version texts it stands for (as many as the count
// needs) and how many answered units have them.
struct Count {
  std::string application;
  std::string version;  // the application's version, or the BIOS version
  int32_t hundredths = 0;
  int32_t suffix = 0;
  int32_t units = 0;
};

struct SectionSummary {
  SectionInfo section;
  std::vector<Count> applications;  // most units first, ties by name in byte order
  std::vector<Count> versions;      // most units first, ties by name, then lowest version first
  std::vector<Count> bios;          // most units first, ties lowest version first
  std::vector<UnitRow> unanswered;  // in the section's order
};

// Counts the answered units of `rows`; the units that did not answer are listed instead.
SectionSummary summarize(const SectionInfo& section, const std::vector<UnitRow>& rows);

// The summary's tables: the report's sections, then the chosen section's counts and its units
// that did not answer.
std::vector<Table> summaryTables(const std::string& reportName, const Report& report,
                                 const SectionSummary& summary);

}  // namespace vyr
