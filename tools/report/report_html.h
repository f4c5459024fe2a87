#pragma once
// One self-contained page of a report's section: no script, nothing fetched, charts as inline
// SVG. Every text a unit sent is escaped, so no unit can add markup to the page.

#include <string>
#include <string_view>
#include <vector>

#include "report/report_diff.h"
#include "report/report_reader.h"
#include "report/report_summary.h"

namespace vyr {

// The bytes as HTML text (read as Latin-1): & < > " ' as entities, control bytes as '?'.
std::string htmlText(std::string_view bytes);

struct PageChanges {
  bool present = false;  // false for the first section: nothing before it to compare
  int32_t fromSection = 0;
  std::vector<DiffRow> rows;
};

// The page: the section's units that did not answer, charts of versions per application and of
// BIOS versions, the changes since the previous section and the report's sections.
std::string reportPage(const std::string& reportName, const Report& report,
                       const SectionSummary& summary, const PageChanges& changes,
                       const char* version);

}  // namespace vyr
