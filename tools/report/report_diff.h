#pragma once
// What changed between two sections: units matched by address, then by ID and serial; those
// added, gone, that stopped or started answering, and each field that changed.

#include <cstdint>
#include <string>
#include <vector>

#include "report/report_output.h"
#include "report/report_reader.h"

namespace vyr {

enum class Change { ADDED, GONE, STOPPED, STARTED, CHANGED };

struct DiffRow {
  Change change;
  UnitRow unit;          // the unit as the later section has it (the earlier one when gone)
  std::string field;     // the changed column's name, for CHANGED
  std::string before;    // the earlier value, or what the unit had answered
  std::string after;     // the later value, or what the unit answers now
  int64_t fromLine = 0;  // 0 where the unit is not in that section
  int64_t toLine = 0;
};

const char* changeName(Change change);

// The differences, grouped in the order of Change, each group in the later section's order
// (gone units in the earlier one's). Linear in the two sections' units.
std::vector<DiffRow> diffSections(const std::vector<UnitRow>& from, const std::vector<UnitRow>& to);

// What a unit's answer says in a few words: "PUMP 3.12, BIOS 1.05", or "no answer".
std::string answerText(const UnitRow& row);

// The comparison's totals and its rows. `from` and `to` name the two sections ("north.model
// section 1").
std::vector<Table> diffTables(const std::string& from, const std::string& to,
                              const std::vector<DiffRow>& rows);

}  // namespace vyr
