#pragma once
// Reads a report file (NAME.model) as sections of unit rows. The file is read in pieces and only
// the sections asked for are kept, so a report of any size is read in one pass and bounded
// memory per kept section.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace vyr {

// One unit's line of a section, its texts as the file holds them (8-bit, read as Latin-1), each
// in a fixed field as wide as the widest the report can hold, NUL-terminated.
struct UnitRow {
  char address[16];  // dotted, "0.0.0.0" for a unit listed by serial and never located
  char serial[11];   // as printed; "0" until the unit reported it
  char id[9];
  char bios[8];  // "1.05"
  char application[9];
  char version[12];  // "3.12", or "3.12.2" with a version suffix
  char modemId[30];
  char esn[14];
  int64_t line;  // line number in the file, from 1
  int32_t biosHundredths;
  int32_t versionHundredths;
  int32_t versionSuffix;
};

// A field's text, up to its NUL.
template <size_t N>
std::string_view text(const char (&field)[N]) {
  size_t length = 0;
  while (length < N && field[length] != '\0') ++length;
  return {field, length};
}

// A unit answered when it gave a BIOS version, an application or an application version.
bool answered(const UnitRow& row);
// How a unit is named to the operator: its address, or ID/serial while it has none.
std::string unitName(const UnitRow& row);

struct SectionInfo {
  int32_t index = 0;       // from 1, in file order
  int64_t headerLine = 0;  // line number of its header
  int32_t units = 0;
  int32_t answered = 0;
};

struct Report {
  std::vector<SectionInfo> sections;
  std::map<int32_t, std::vector<UnitRow>> kept;  // by section index
};

// Which sections keep their rows: those named (from 1) and the last `keepLast` of the file.
struct ReadRequest {
  std::vector<int32_t> sections;
  int32_t keepLast = 0;
};

// The longest line a report can hold, its line end included: every field at its widest.
constexpr int32_t REPORT_LINE_LIMIT = 110;

// The reader's state between pieces of the file.
struct ReportReader {
  ReadRequest request;
  Report report;
  std::vector<UnitRow> current;
  bool inSection = false;
  int64_t line = 1;
  char pending[REPORT_LINE_LIMIT + 1] = {};
  int32_t pendingLength = 0;
  bool leadingZeros = true;  // a gap of zero bytes before a section placed past the old end
  std::string error;         // empty while the file reads as a report
};

// Takes the next piece of the file; false once the file has turned out not to be a report.
bool readPiece(ReportReader& reader, std::string_view bytes);
// Ends the file: false when it is not a report (empty, or its last line cut short).
bool finishReading(ReportReader& reader);

// Reads a whole report text; `error` names the line when it is not a report.
bool readReportText(std::string_view text, const ReadRequest& request, Report& report,
                    std::string& error);
// Reads the report file at `path` in pieces.
bool readReportFile(const std::string& path, const ReadRequest& request, Report& report,
                    std::string& error);

// The kept rows of section `index`, or null when the section was not kept.
const std::vector<UnitRow>* sectionRows(const Report& report, int32_t index);

}  // namespace vyr
