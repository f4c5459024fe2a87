#include "survey_command/unfinished_units.h"

namespace vyr {
namespace {

// The unit as its list line names it. A serial-listed unit keeps its listed ID; a control byte in
// it shows as '?', as on the rows.
std::string listedName(const DeviceRecord& record) {
  TextLine name;
  if (record.flags & BY_SERIAL) {
    name.appendShown(fieldText(record.id));
    name.append("/");
    name.appendUnsigned(record.serial);
  } else {
    name.appendDotted(record.address.ip);
  }
  return std::string(name.view());
}

}  // namespace

std::string unfinishedUnitsLine(const DeviceRecord* table, int32_t count, int32_t unfinished) {
  if (unfinished <= 0 || table == nullptr) return "";
  std::string line = std::to_string(unfinished) +
                     (unfinished == 1 ? " unit did not finish: " : " units did not finish: ");
  int32_t named = 0;
  // The walk ends at the last name the line needs: once, after the survey.
  for (int32_t i = 0; i < count && named < NAMED_UNFINISHED && named < unfinished; ++i) {
    if (isFinished(table[i])) continue;
    line += (named == 0 ? "" : ", ") + listedName(table[i]);
    ++named;
  }
  if (unfinished > named) line += " and " + std::to_string(unfinished - named) + " more";
  return line;
}

}  // namespace vyr
