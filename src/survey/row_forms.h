#pragma once
// The texts of list rows. Every row of a unit listed by serial begins with a space and no row of
// a unit listed by address does: a survey start tells the two kinds apart by that alone. The texts
// a unit sent show each control byte as '?' (TextLine::appendShown); records keep them exactly.

#include <cstdint>
#include <string_view>

#include "platform/list_view.h"
#include "survey/device_record.h"
#include "survey/text.h"

namespace vyr {

// "%d.%d.%d.%d" with the four numbers as read from the list, without a range limit.
TextLine listedAddressRow(const int32_t numbers[4]);
// " 0.0.0.0\t%lu\t%s" with `serial` and `id`.
TextLine listedSerialRow(uint32_t serial, std::string_view id);
TextLine listedSerialRow(const DeviceRecord& record);
// " %d.%d.%d.%d\t%lu\t%s": a serial-listed unit the IP server has just located.
TextLine locatedRow(const DeviceRecord& record);
// "%d.%d.%d.%d\t\t%s": a unit that has told its ID (empty Serial column).
TextLine identifiedRow(const DeviceRecord& record);
// Address, serial, ID, BIOS, application and its version (with ".suffix" when not zero).
TextLine versionRow(const DeviceRecord& record);
// The version row followed by the modem ID and the ESN.
TextLine completeRow(const DeviceRecord& record);
// A restored record shown with as many columns as it has data for.
TextLine resumedRow(const DeviceRecord& record);

// The six columns that version rows and report lines share: "%d.%d.%d.%d\t%lu\t%s\t%.2lf\t%s\t%.2lf"
// with address, serial, ID, BIOS, application and its version, then ".%d" with a non-zero suffix.
// These are the report's columns: the ID is shown with its control bytes as '?' also for a
// serial-listed unit, whose rows keep it as listed.
void appendVersionColumns(TextLine& line, const DeviceRecord& record);

// Replaces row `index` with the row `compose()` gives, which is made only where rows are shown.
template <typename Compose>
void showRow(ListView& list, int32_t index, Compose compose) {
  if (list.showsRows()) {
    list.replaceRow(index, compose().text);
  } else {
    list.replaceRow(index, "");
  }
}

}  // namespace vyr
