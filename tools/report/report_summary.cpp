#include "report/report_summary.h"

#include <algorithm>
#include <unordered_map>

namespace vyr {
namespace {

// Adds one unit to the count of `key`, made the first time the key is seen.
void countUnder(std::unordered_map<std::string, size_t>& index, std::vector<Count>& counts,
                const std::string& key, const Count& fresh) {
  auto [found, added] = index.try_emplace(key, counts.size());
  if (added) counts.push_back(fresh);
  ++counts[found->second].units;
}

bool lowerVersion(const Count& a, const Count& b) {
  if (a.hundredths != b.hundredths) return a.hundredths < b.hundredths;
  return a.suffix < b.suffix;
}

void sortCounts(std::vector<Count>& counts) {
  std::sort(counts.begin(), counts.end(), [](const Count& a, const Count& b) {
    if (a.units != b.units) return a.units > b.units;
    if (a.application != b.application) return a.application < b.application;
    return lowerVersion(a, b);
  });
}

std::string number(int64_t value) { return std::to_string(value); }

Column sectionColumn() { return {"section", "Section", true, false}; }

}  // namespace

SectionSummary summarize(const SectionInfo& section, const std::vector<UnitRow>& rows) {
  SectionSummary summary;
  summary.section = section;
  std::unordered_map<std::string, size_t> applications;
  std::unordered_map<std::string, size_t> versions;
  std::unordered_map<std::string, size_t> bios;
  for (const UnitRow& row : rows) {
    if (!answered(row)) {
      summary.unanswered.push_back(row);
      continue;
    }
    const std::string application(text(row.application));
    const std::string version(text(row.version));
    countUnder(applications, summary.applications, application, {application, "", 0, 0, 0});
    // A tab cannot stand in a column, so it keeps the two texts of the key apart.
    std::string key = application;
    key += '\t';
    key += version;
    countUnder(versions, summary.versions, key,
               {application, version, row.versionHundredths, row.versionSuffix, 0});
    countUnder(bios, summary.bios, std::string(text(row.bios)),
               {"", std::string(text(row.bios)), row.biosHundredths, 0, 0});
  }
  sortCounts(summary.applications);
  sortCounts(summary.versions);
  sortCounts(summary.bios);
  return summary;
}

std::vector<Table> summaryTables(const std::string& reportName, const Report& report,
                                 const SectionSummary& summary) {
  std::vector<Table> tables;
  Table sections{"section",
                 reportName + ": " + number(static_cast<int64_t>(report.sections.size())) +
                     (report.sections.size() == 1 ? " section" : " sections"),
                 {{"section", "Section", true},
                  {"line", "Line", true},
                  {"units", "Units", true},
                  {"answered", "Answered", true},
                  {"unanswered", "Did not answer", true}},
                 {}};
  for (const SectionInfo& info : report.sections) {
    sections.rows.push_back({number(info.index), number(info.headerLine), number(info.units),
                             number(info.answered), number(info.units - info.answered)});
  }
  tables.push_back(std::move(sections));

  const SectionInfo& chosen = summary.section;
  const std::string of = "Section " + number(chosen.index) + ": ";
  const std::string section = number(chosen.index);
  Table applications{"application",
                     of + "units by application",
                     {sectionColumn(), {"application", "Application"}, {"units", "Units", true}},
                     {}};
  for (const Count& count : summary.applications) {
    applications.rows.push_back({section, count.application, number(count.units)});
  }
  Table versions{"version",
                 of + "units by application and version",
                 {sectionColumn(),
                  {"application", "Application"},
                  {"version", "Version"},
                  {"units", "Units", true}},
                 {}};
  for (const Count& count : summary.versions) {
    versions.rows.push_back({section, count.application, count.version, number(count.units)});
  }
  Table bios{"bios",
             of + "units by BIOS version",
             {sectionColumn(), {"bios", "BIOS"}, {"units", "Units", true}},
             {}};
  for (const Count& count : summary.bios) {
    bios.rows.push_back({section, count.version, number(count.units)});
  }
  Table unanswered{"unanswered",
                   of + number(static_cast<int64_t>(summary.unanswered.size())) + " of " +
                       number(chosen.units) + " units did not answer",
                   {sectionColumn(),
                    {"unit", "Unit"},
                    {"address", "IP", false, false},
                    {"id", "ID"},
                    {"serial", "Serial", true},
                    {"line", "Line", true}},
                   {}};
  for (const UnitRow& row : summary.unanswered) {
    unanswered.rows.push_back({section, unitName(row), std::string(text(row.address)),
                               std::string(text(row.id)), std::string(text(row.serial)),
                               number(row.line)});
  }
  tables.push_back(std::move(applications));
  tables.push_back(std::move(versions));
  tables.push_back(std::move(bios));
  tables.push_back(std::move(unanswered));
  return tables;
}

}  // namespace vyr
