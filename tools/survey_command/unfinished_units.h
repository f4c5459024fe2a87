#pragma once
// The line that names the units a survey left unfinished, as the list names them, so that an
// operator knows whom to chase without opening the report.

#include <cstdint>
#include <string>

#include "core/survey_driver.h"

namespace vyr {

// How many unfinished units the line names; the rest are only counted.
constexpr int32_t NAMED_UNFINISHED = 20;

// "N units did not finish: A, B, C" with the first NAMED_UNFINISHED unfinished units of `table`
// in list order, each by its address or, when listed by ID/serial, as "ID/serial", then
// " and M more" for the others. `unfinished` is how many there are; empty when none.
std::string unfinishedUnitsLine(const DeviceRecord* table, int32_t count, int32_t unfinished);

}  // namespace vyr
